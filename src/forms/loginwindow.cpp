#include "forms/loginwindow.h"

#include "forms/pictures.h"

#include <QLabel>
#include <QVBoxLayout>
#include <QWebEngineCookieStore>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineView>

namespace tw {

bool CookieDomainCovers(const QString &domain, const QString &host)
{
    const QString bare = domain.startsWith(u'.') ? domain.mid(1) : domain;
    if (bare.isEmpty())
        return false;
    if (host.compare(bare, Qt::CaseInsensitive) == 0)
        return true;
    return domain.startsWith(u'.') && host.endsWith(u'.' + bare, Qt::CaseInsensitive);
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
    layout->addWidget(m_view);
    m_view->load(start);
}

LoginWindow::~LoginWindow()
{
    // The page must go before the profile it was made with.
    delete m_view;
    delete m_profile;
}

QList<QNetworkCookie> LoginWindow::SiteCookies() const
{
    QList<QNetworkCookie> kept;
    for (const QNetworkCookie &cookie : m_cookies)
        if (CookieDomainCovers(cookie.domain(), m_start.host()))
            kept.append(cookie);
    return kept;
}

QString LoginWindow::KeyOf(const QNetworkCookie &cookie)
{
    return cookie.domain() + u'\t' + cookie.path() + u'\t' + QString::fromLatin1(cookie.name());
}

} // namespace tw
