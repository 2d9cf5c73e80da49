#pragma once

// A browser window on the site, where the user logs in as in any browser; when it closes, the
// cookies the site set while it was open are handed to the copy.

#include "common/cookie.h"

#include <QDialog>
#include <QList>
#include <QMap>
#include <QNetworkCookie>
#include <QUrl>

#include <vector>

class QWebEngineProfile;
class QWebEngineView;

namespace tw {

// A cookie of the browser as the copy keeps it.
Cookie CookieOfBrowser(const QNetworkCookie &cookie);

class LoginWindow final : public QDialog
{
    Q_OBJECT

public:
    LoginWindow(const QUrl &start, QWidget *parent);
    ~LoginWindow() override;

    // The cookies set while the window was open that the start URL's host is sent.
    std::vector<Cookie> SiteCookies() const;

private:
    static QString KeyOf(const QNetworkCookie &cookie);

    QUrl m_start;
    QWebEngineProfile *m_profile = nullptr;
    QWebEngineView *m_view = nullptr;
    QMap<QString, QNetworkCookie> m_cookies;
};

} // namespace tw
