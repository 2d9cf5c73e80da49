#pragma once

// The renderer program's work: one browser page without a window that loads the URLs it is given
// one at a time, waits until the page has settled (no request of its scripts in flight and its
// document unchanged for a quiet moment), and hands back the document as drawn, its scripts taken
// out so that it shows from disk as it was drawn.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QUrl>

#include <functional>

class QTimer;
class QWebEnginePage;
class QWebEngineProfile;

namespace tw {

class RequestWatch;

class PageDrawer final : public QObject
{
    Q_OBJECT

public:
    // drawn: the document; otherwise failure says why there is none.
    using Done = std::function<void(bool drawn, const QString &text)>;

    explicit PageDrawer(QObject *parent = nullptr);
    ~PageDrawer() override;

    // Draws url, giving up after timeoutMs; done is called once. One page at a time.
    void Draw(const QUrl &url, int timeoutMs, Done done);

private:
    void Poll();
    void Serialize();
    void Finish(bool drawn, const QString &text);

    QWebEngineProfile *m_profile;
    RequestWatch *m_watch;
    QWebEnginePage *m_page;
    QTimer *m_poll;
    QTimer *m_deadline;
    Done m_done;
    QUrl m_target; // without its fragment
    // Counts the pages drawn, so that an answer of the page before is not taken for this one's.
    quint64 m_serial = 0;
};

} // namespace tw
