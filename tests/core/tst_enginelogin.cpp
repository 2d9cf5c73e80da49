// A copy logged in to its site: cookies kept and sent back, passwords given to the site's own
// 401, links that would log out left alone, and nothing of it sent to another host.

#include "crawl/sitelogin.h"
#include "enginetest.h"

#include <QCryptographicHash>
#include <QRegularExpression>

namespace tw {
namespace {

using test::Request;

bool Holds(const std::string &text, const char *part)
{
    return text.find(part) != std::string::npos;
}

// The pages of a site whose area needs a login, and an image of another host on each.
constexpr char kSitePage[] = "<a href=a.html>A</a> <a href=logout.php>x</a> "
                             "<a href=bye.html>Sign <b>out</b></a> "
                             "<img src='http://cdn.test/pic.gif'>";

// The Digest answer a server expects of ann, whose password is "right", for its nonce.
bool DigestAnswerHolds(const std::string &authorization, bool sha256)
{
    const QString text = QString::fromStdString(authorization);
    const auto field = [&text](const char *name) {
        return QRegularExpression(QStringLiteral("%1=\"?([^\",]*)").arg(QLatin1String(name)))
            .match(text)
            .captured(1)
            .toUtf8();
    };
    const auto hash = [sha256](const QByteArray &bytes) {
        return QCryptographicHash::hash(
            bytes, sha256 ? QCryptographicHash::Sha256 : QCryptographicHash::Md5)
            .toHex();
    };
    const QByteArray known = hash("ann:area:right");
    const QByteArray asked = hash("GET:" + field("uri"));
    return field("response")
        == hash(known + ":n0nce:" + field("nc") + ':' + field("cnonce") + ":auth:" + asked);
}

TEST_F(EngineTest, AFormLoginsCookieOpensTheSiteAndItsLogoutLinksAreNotFollowed)
{
    const struct
    {
        const char *name;
        bool withCookie;
        std::set<std::string> fetched;
    } rows[] = {
        {"the session cookie of the login", true, {"/", "/a.html"}},
        {"no cookie: every page moves to the login page", false, {"/", "/login.html"}},
    };
    TestHttpServer &cdn = Serve("cdn.test");
    cdn.SetRoute("/pic.gif", Route::Page("GIF89a", "image/gif"));
    m_server.SetResponder([](const Request &request) -> std::optional<Route> {
        if (request.path == "/login.html")
            return Route::Page("<form method=post action=/login.html></form>");
        if (!Holds(request.raw, "session=k3y"))
            return Route::Redirect(302, "/login.html");
        return std::nullopt;
    });
    Route &home = m_server.SetRoute("/", Route::Page(kSitePage));
    home.extraHeaders = "Set-Cookie: seen=1; Path=/\r\n";
    m_server.SetRoute("/a.html", Route::Page("<a href='logout.php'>out</a>"));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        m_engine.Job().cookies.clear();
        if (row.withCookie)
            m_engine.Job().cookies = {{.name = "session",
                .value = "k3y",
                .domain = "site.test",
                .hostOnly = false,
                .httpOnly = true}};
        std::set<std::string> skipped;
        QObject watching;
        QObject::connect(&m_engine, &Engine::linkSkipped, &watching,
            [&skipped](const std::string &url, SkipCause cause) {
                if (cause == SkipCause::EndsSession)
                    skipped.insert(url);
            });
        const std::size_t before = m_server.Requests().size();
        const std::size_t cdnBefore = cdn.Requests().size();
        ASSERT_TRUE(Run(QStringLiteral("http://www.site.test/")));
        std::set<std::string> fetched;
        for (std::size_t i = before; i < m_server.Requests().size(); ++i)
            fetched.insert(m_server.Requests()[i].path);
        EXPECT_EQ(fetched, row.fetched);
        if (row.withCookie) {
            EXPECT_EQ(skipped,
                (std::set<std::string> {"www.site.test/logout.php", "www.site.test/bye.html"}));
            EXPECT_TRUE(Holds(m_server.Requests().back().raw, "Cookie: session=k3y; seen=1\r\n"));
            ASSERT_EQ(cdn.Requests().size(), cdnBefore + 1);
            EXPECT_FALSE(Holds(cdn.Requests().back().raw, "Cookie"));
        }
    }
}

TEST_F(EngineTest, APasswordAnswersTheSitesOwn401AndGoesNowhereElse)
{
    const struct
    {
        const char *name;
        const char *challenge;
        const char *user;
        const char *password;
        bool stored;
        std::size_t areaRequests;
    } rows[] = {
        {"Basic", "Basic realm=\"area\"", "ann", "right", true, 2},
        {"Digest MD5", "Digest realm=\"area\", nonce=\"n0nce\", qop=\"auth\"", "ann", "right", true,
            2},
        {"Digest SHA-256",
            "Digest realm=\"area\", nonce=\"n0nce\", qop=\"auth\", algorithm=SHA-256", "ann",
            "right", true, 2},
        {"a wrong password: refused once, no try lost",
            "Digest realm=\"area\", nonce=\"n0nce\", qop=\"auth\"", "ann", "wrong", false, 2},
        {"no name given: the 401 is an error", "Basic realm=\"area\"", "", "", false, 1},
    };
    TestHttpServer &cdn = Serve("cdn.test");
    cdn.SetRoute("/pic.gif", Route::Page("GIF89a", "image/gif"));
    const char *challenge = nullptr;
    m_server.SetResponder([&challenge](const Request &request) -> std::optional<Route> {
        const std::size_t at = request.raw.find("Authorization: ");
        const std::string given = at == std::string::npos
            ? ""
            : request.raw.substr(at, request.raw.find('\r', at) - at);
        const bool passes = std::string_view(challenge).starts_with("Basic")
            ? given == "Authorization: Basic YW5uOnJpZ2h0"
            : DigestAnswerHolds(given, Holds(challenge, "SHA-256"));
        if (passes)
            return std::nullopt;
        return Route::Status(401, "WWW-Authenticate: " + std::string(challenge) + "\r\n");
    });
    m_server.SetRoute("/", Route::Page(kSitePage));
    m_server.SetRoute("/a.html", Route::Page("area"));
    m_engine.Job().headerFields = {{"X-Key", "k3y"}};
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        challenge = row.challenge;
        m_engine.Job().user = row.user;
        m_engine.Job().password = row.password;
        m_server.SetRoute("/", Route::Page(kSitePage));
        const std::size_t before = m_server.Requests().size();
        const std::size_t cdnBefore = cdn.Requests().size();
        EXPECT_EQ(Run(QStringLiteral("http://www.site.test/")), row.stored);
        std::size_t areaRequests = 0;
        for (std::size_t i = before; i < m_server.Requests().size(); ++i)
            areaRequests += m_server.Requests()[i].path == "/" ? 1 : 0;
        EXPECT_EQ(areaRequests, row.areaRequests);
        if (row.stored) {
            // A page asked after the 401 carries the answer at once, and the user's fields.
            EXPECT_TRUE(Holds(m_server.Requests().back().raw, "Authorization: "));
            EXPECT_TRUE(Holds(m_server.Requests().back().raw, "\r\nX-Key: k3y\r\n"));
            EXPECT_EQ(File("a.html"), Stored("area"));
            ASSERT_EQ(cdn.Requests().size(), cdnBefore + 1);
            EXPECT_FALSE(Holds(cdn.Requests().back().raw, "Authorization"));
            EXPECT_FALSE(Holds(cdn.Requests().back().raw, "X-Key"));
        } else if (*row.user != 0) {
            EXPECT_EQ(m_failure, QStringLiteral("401: the site refused the name and password"));
        }
    }
}

TEST_F(EngineTest, EveryCookieAnAnswerSetsIsSentBackOverHttp1AndHttp2)
{
    for (const bool http2 : {false, true}) {
        SCOPED_TRACE(http2 ? "HTTP/2" : "HTTP/1.0");
        NewFolder();
        TestHttpServer &server = Serve("www.site.test", 0, http2);
        if (http2)
            server.SpeakHttp2();
        m_engine.Job().http2 = http2;
        server.SetRoute("/", Route::Redirect(302, "/home.html")).extraHeaders
            += "Set-Cookie: moved=1\r\n";
        server.SetRoute("/home.html", Route::Page("<a href=next.html>next</a>")).extraHeaders
            = "Set-Cookie: a=1; Secure\r\nSet-Cookie: b=2; HttpOnly\r\n";
        server.SetRoute("/next.html", Route::Page("next"));
        ASSERT_TRUE(Run(http2 ? QStringLiteral("https://www.site.test/")
                              : QStringLiteral("http://www.site.test/")));
        ASSERT_EQ(server.RequestCount("/next.html"), 1U);
        const std::string &asked = server.Requests().back().raw;
        EXPECT_TRUE(
            Holds(asked, http2 ? "cookie: moved=1; a=1; b=2\r\n" : "Cookie: moved=1; b=2\r\n"))
            << asked;
    }
}

} // namespace
} // namespace tw
