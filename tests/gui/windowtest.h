#pragma once

// The common ground of the window tests: an engine, its main window (hidden until a test shows
// it), a download folder of its own, on request a site served as www.site.test, and a driver that
// answers modal dialogs the way a user would.

#include "connections/engine.h"
#include "forms/frmmain.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>

#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace tw::test {

// What a modal showed when it was answered.
struct SeenModal
{
    QString className, objectName, title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Applies the queued steps, in order, to the modals as they appear. A modal that appears with no
// step left is recorded as unexpected and closed, so a test fails instead of hanging.
class ModalDriver
{
public:
    using Step = std::function<void(QWidget *)>;

    ModalDriver();
    // Clicks a message box button; any other dialog is rejected.
    ModalDriver &Answer(QMessageBox::StandardButton button);
    // Types into an input dialog and confirms it.
    ModalDriver &Input(const QString &text);
    // A step that opens a further modal must do so through a queued call such as ClickLater.
    ModalDriver &Then(Step step);
    bool WaitDone(int timeoutMs = 5000);
    const std::vector<SeenModal> &Seen() const { return m_seen; }
    const std::vector<SeenModal> &Unexpected() const { return m_unexpected; }

private:
    void Poll();

    QTimer m_timer;
    std::deque<Step> m_steps;
    std::vector<QPointer<QWidget>> m_handled;
    std::vector<SeenModal> m_seen, m_unexpected;
};

// Clicks the named button from the event loop, after the caller has returned.
void ClickLater(QWidget *window, const char *buttonName);

template <typename T> T *Child(const QObject *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

class WindowTest : public ::testing::Test
{
protected:
    WindowTest();
    ~WindowTest() override;

    // Shows the main window and waits until it is exposed; the wizard stays closed.
    void ShowQuietly();
    // Serves www.site.test from the test server; a stalled start page unless told otherwise.
    void ServeSite(bool stalled = false);
    // Starts a job from the URL box.
    void StartJob(const QString &url = QStringLiteral("http://www.site.test/"));
    // Clicks the number in the connection-count list, as a user does.
    void ChooseConnections(int count);
    QLabel *Row(const char *column, int slot) const;
    QString Text(const char *label) const { return Child<QLabel>(window.get(), label)->text(); }

    TempDir output;
    Engine engine;
    std::unique_ptr<frmMain> window;
    std::unique_ptr<TestHttpServer> server;
};

} // namespace tw::test
