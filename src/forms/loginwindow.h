#pragma once

// A browser window on the site, where the user logs in as in any browser; when it closes, the
// cookies the site set while it was open are handed to the copy.

#include <QDialog>
#include <QList>
#include <QMap>
#include <QNetworkCookie>
#include <QUrl>

class QWebEngineProfile;
class QWebEngineView;

namespace tw {

// Whether a cookie that names domain (a leading "." or none) is sent to host: the host itself,
// or one of its parents when the cookie was set for a domain.
bool CookieDomainCovers(const QString &domain, const QString &host);

class LoginWindow final : public QDialog
{
    Q_OBJECT

public:
    LoginWindow(const QUrl &start, QWidget *parent);
    ~LoginWindow() override;

    // The cookies set while the window was open that the start URL's host is sent.
    QList<QNetworkCookie> SiteCookies() const;

private:
    static QString KeyOf(const QNetworkCookie &cookie);

    QUrl m_start;
    QWebEngineProfile *m_profile = nullptr;
    QWebEngineView *m_view = nullptr;
    QMap<QString, QNetworkCookie> m_cookies;
};

} // namespace tw
