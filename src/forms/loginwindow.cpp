#include "forms/loginwindow.h"

#include "forms/pictures.h"
#include "transport/cookiejar.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace tw {

Cookie CookieOfBrowser(const QNetworkCookie &cookie)
{
    const QString domain = cookie.domain();
    Cookie kept;
    kept.name = cookie.name().toStdString();
    kept.value = cookie.value().toStdString();
    kept.domain = (domain.startsWith(u'.') ? domain.mid(1) : domain).toLower().toStdString();
    kept.path = cookie.path().isEmpty() ? std::string("/") : cookie.path().toStdString();
    // The browser marks a cookie set for a domain, and so sent to the hosts below it, by its dot.
    kept.hostOnly = !domain.startsWith(u'.');
    kept.secure = cookie.isSecure();
    kept.httpOnly = cookie.isHttpOnly();
    kept.expires = cookie.isSessionCookie() ? 0 : cookie.expirationDate().toSecsSinceEpoch();
    return kept;
}

LoginWindow::LoginWindow(const QUrl &start, QWidget *parent)
    : QDialog(parent)
    , m_start(start)
    // A profile without a storage name keeps nothing on disk: the session lives in memory only.
    , m_profile(new QWebEngineProfile)
{
    setObjectName(QStringLiteral("frmLogin"));
    setWindowTitle(QStringLiteral("Log In to ") + start.host());
    setWindowIcon(ProgramIcon());
    resize(900, 700);

    QWebEngineCookieStore *store = m_profile->cookieStore();
    connect(store, &QWebEngineCookieStore::cookieAdded, this,
        [this](const QNetworkCookie &cookie) { m_cookies.insert(KeyOf(cookie), cookie); });
    connect(store, &QWebEngineCookieStore::cookieRemoved, this,
        [this](const QNetworkCookie &cookie) { m_cookies.remove(KeyOf(cookie)); });

    m_view = new QWebEngineView(this);
    m_view->setObjectName(QStringLiteral("viewLogin"));
    m_view->setPage(new QWebEnginePage(m_profile, m_view));
    auto *hint = new QLabel(
        QStringLiteral("Log in to the website here, then close this window: the copy goes on "
                       "as you, with the cookies the website gave."),
        this);
    hint->setObjectName(QStringLiteral("lblLogin"));
    hint->setWordWrap(true);
    hint->setContentsMargins(8, 6, 8, 6);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(hint);
    layout->addWidget(m_view, 1);
    m_view->load(start);
}

LoginWindow::~LoginWindow()
{
    // The page must go before the profile it was made with.
    delete m_view;
    delete m_profile;
}

std::vector<Cookie> LoginWindow::SiteCookies() const
{
    const std::string host = m_start.host().toLower().toStdString();
    std::vector<Cookie> kept;
    for (const QNetworkCookie &cookie : m_cookies) {
        Cookie each = CookieOfBrowser(cookie);
        if (GoesToHost(each, host))
            kept.push_back(std::move(each));
    }
    return kept;
}

QString LoginWindow::KeyOf(const QNetworkCookie &cookie)
{
    return cookie.domain() + u'\t' + cookie.path() + u'\t' + QString::fromLatin1(cookie.name());
}

} // namespace tw
