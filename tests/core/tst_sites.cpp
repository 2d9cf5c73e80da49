// Sites as they are today: secure sites, ports and local hosts, sites that moved, redirects inside
// a site, and start pages that cannot be fetched. Each copy runs the engine against in-process
// servers, plain and TLS.

#include "connections/connection.h"
#include "connections/engine.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"

#include "support/testcertificates.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <gtest/gtest.h>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;
using test::TestHttpServer;

const test::TestAuthority &Authority()
{
    static const test::TestAuthority authority;
    return authority;
}

class SitesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetTlsTrust({Authority().Pem(), true}));
        m_engine.SetTimeoutInterval(300);
        m_engine.SetFileTypeFilterSource([] { return FileTypeFilterOf(DefaultFileTypes()); });
        QObject::connect(&m_engine, &Engine::slotFailed, [this](int slot, const Failure &failure) {
            m_slotFailure[slot] = FailureText(failure);
        });
        QObject::connect(&m_engine, &Engine::siteCompleted, [this] { ++m_completions; });
        QObject::connect(&m_engine, &Engine::siteFailed,
            [this](const Failure &failure) { m_failure = FailureText(failure); });
        QObject::connect(
            &m_engine, &Engine::startUrlChanged, [this](const QString &url) { m_startUrl = url; });
    }

    void TearDown() override
    {
        if (m_engine.IsRunning())
            m_engine.StopNOW();
        Connection::ClearConnectTo();
        SetTlsTrust({});
    }

    // A fresh server for host, asked for on fromPort (0: any port), TLS when secure.
    TestHttpServer &Serve(const char *host, quint16 fromPort, bool secure = false)
    {
        auto &server = *m_servers.emplace_back(std::make_unique<TestHttpServer>());
        if (secure)
            server.UseTls(Authority().Issue({"www.site.test", "site.test", "localhost"}));
        EXPECT_TRUE(server.Listen());
        if (host != nullptr)
            Connection::SetConnectTo(
                QString::fromLatin1(host), TestHttpServer::Address(), server.Port(), fromPort);
        return server;
    }

    // Runs a job into a fresh folder to its end: true when it completed, false when it failed or
    // did not end in time.
    bool Run(const QString &url, int timeoutMs = 10000)
    {
        ++m_runs;
        SetOutputDirectory(
            m_root.Path() + "mirror" + std::to_string(m_runs) + "\\", m_engine.Job());
        m_completions = 0;
        m_failure.clear();
        m_startUrl = m_engine.ConnectNowNow(url);
        test::WaitUntil([this] { return m_completions > 0 || !m_failure.isEmpty(); }, timeoutMs);
        return m_completions > 0;
    }

    std::map<std::string, std::string> Tree() const
    {
        return test::ReadTree(
            m_root.NativePath() + QStringLiteral("/mirror") + QString::number(m_runs));
    }

    static std::vector<std::string> HostsOf(const TestHttpServer &server)
    {
        std::vector<std::string> hosts;
        for (const test::Request &request : server.Requests()) {
            const std::size_t start = request.raw.find("Host: ") + 6;
            hosts.push_back(request.raw.substr(start, request.raw.find("\r\n", start) - start));
        }
        return hosts;
    }

    static std::string Stored(const std::string &body) { return body + "\r\n"; }

    test::TempDir m_root;
    std::vector<std::unique_ptr<TestHttpServer>> m_servers;
    Engine m_engine;
    std::map<int, QString> m_slotFailure;
    QString m_startUrl;
    QString m_failure;
    int m_completions = 0;
    int m_runs = 0;
};

TEST_F(SitesTest, ASecureJobFetchesEverySiteLinkOverTls)
{
    TestHttpServer &plain = Serve("www.site.test", 80);
    TestHttpServer &secure = Serve("www.site.test", 443, true);
    secure.SetRoute("/",
        Route::Page("<a href='a.html'>a</a><a href='HTTPS://www.site.test/b.html'>b</a>"
                    "<a href='http://www.site.test/c.html'>c</a>"
                    "<a href='https://elsewhere.test/x.html'>x</a>"));
    secure.SetRoute("/a.html", Route::Page("a")).behaviours
        = {Behaviour::Whole().WithoutCloseNotify()};
    secure.SetRoute("/b.html", Route::Page(std::string(3000, 'b'))).behaviours
        = {Behaviour::Reset(1000), Behaviour::Whole()};
    secure.SetRoute("/c.html", Route::Page("c"));

    ASSERT_TRUE(Run(QStringLiteral("HTTPS://www.site.test/")));

    EXPECT_EQ(m_startUrl, QStringLiteral("https://www.site.test/"));
    EXPECT_TRUE(plain.Requests().empty());
    const std::map<std::string, std::string> expected {
        {"site.test/index.html",
            Stored("<a href='a.html'>a</a><a href='b.html'>b</a><a href='c.html'>c</a>"
                   "<a href='https://elsewhere.test/x.html'>x</a>")},
        {"site.test/a.html", Stored("a")},
        {"site.test/b.html", Stored(std::string(3000, 'b'))},
        {"site.test/c.html", Stored("c")},
        {"log.txt", "www.site.test/a.html\r\nwww.site.test/b.html\r\nwww.site.test/c.html\r\n"},
    };
    EXPECT_EQ(Tree(), expected);
    EXPECT_EQ(secure.RequestCount("/b.html"), 2U) << "a reset in the body is retried";
    EXPECT_EQ(secure.Requests().front().raw,
        "GET / HTTP/1.0\r\nHost: www.site.test\r\nReferrer: www.site.test\r\n"
        "User-Agent: Internet Explorer 6.01\r\n\r\n");
}

TEST_F(SitesTest, ACopyBrowsesFromDiskWithItsStyleSheetsAndImages)
{
    m_engine.SetFileTypeFilterSource(
        [] { return FileTypeFilterOf(DefaultFileTypes()) + ":.woff2:"; });
    TestHttpServer &server = Serve("www.site.test", 80);
    server.SetRoute("/",
        Route::Page("<a href=\"/docs/guide/page.html\">g</a>"
                    "<a href=\"//www.site.test/docs/\">d</a>"));
    server.SetRoute("/docs/", Route::Page("<a href=\"guide/page.html#end\">g</a>"));
    server.SetRoute("/docs/guide/page.html",
        Route::Page(
            "<link rel=stylesheet href=\"/css/site.css\"><img src=\"/img/a.gif\">"
            "<img srcset=\"/img/s1.png 1x, http://www.site.test/img/s2.png 2x\">"
            "<div style=\"background:url(/img/bg.png)\"></div>"
            "<a href=\"http://www.site.test/#top\">home</a><a href=\"/cgi-bin/f.cgi\">f</a>"));
    server.SetRoute("/css/site.css",
        Route::Page("@import url(\"base.css\");\nbody{background:url(/img/bg2.png)}\n"
                    "@font-face{src:url('../fonts/f.woff2')}",
            "text/css"));
    server.SetRoute("/css/base.css", Route::Page("p{}", "text/css"));
    for (const char *image : {"/img/a.gif", "/img/s1.png", "/img/s2.png", "/img/bg.png",
             "/img/bg2.png", "/fonts/f.woff2"})
        server.SetRoute(image, Route::Page(std::string("bytes of ") + image, "image/png"));

    ASSERT_TRUE(Run(QStringLiteral("http://www.site.test/")));

    std::map<std::string, std::string> tree = Tree();
    tree.erase("log.txt");
    tree.erase("transdd.txt");
    std::vector<std::string> files;
    for (const auto &entry : tree)
        files.push_back(entry.first);
    EXPECT_EQ(files,
        (std::vector<std::string> {"site.test/css/base.css", "site.test/css/site.css",
            "site.test/docs/guide/page.html", "site.test/docs/index.html",
            "site.test/fonts/f.woff2", "site.test/img/a.gif", "site.test/img/bg.png",
            "site.test/img/bg2.png", "site.test/img/s1.png", "site.test/img/s2.png",
            "site.test/index.html"}));
    EXPECT_EQ(tree["site.test/index.html"],
        Stored("<a href=\"docs/guide/page.html\">g</a><a href=\"docs/index.html\">d</a>"));
    EXPECT_EQ(tree["site.test/docs/index.html"], Stored("<a href=\"guide/page.html#end\">g</a>"));
    EXPECT_EQ(tree["site.test/docs/guide/page.html"],
        Stored("<link rel=stylesheet href=\"../../css/site.css\"><img src=\"../../img/a.gif\">"
               "<img srcset=\"../../img/s1.png 1x, ../../img/s2.png 2x\">"
               "<div style=\"background:url(../../img/bg.png)\"></div>"
               "<a href=\"../../index.html#top\">home</a>"
               "<a href=\"http://www.site.test/cgi-bin/f.cgi\">f</a>"));
    EXPECT_EQ(tree["site.test/css/site.css"],
        Stored("@import url(\"base.css\");\nbody{background:url(../img/bg2.png)}\n"
               "@font-face{src:url('../fonts/f.woff2')}"));
    EXPECT_EQ(server.RequestCount("/docs/img/a.gif"), 0U) << "a root-relative link is the host's";
}

TEST_F(SitesTest, ACertificateThatFailsEndsTheJobAtOnceWithItsReason)
{
    const test::TestAuthority stranger;
    const struct
    {
        test::TestCertificate certificate;
        const char *reason;
    } cases[] = {
        {stranger.Issue({"www.site.test"}), "certificate not trusted"},
        {Authority().Issue({"other.test"}), "certificate is for another host"},
        {Authority().Issue({"www.site.test"}, -20, -2), "certificate expired"},
    };
    m_engine.SetTimeoutInterval(20000);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.reason);
        TestHttpServer &server = Serve("www.site.test", 0);
        server.UseTls(c.certificate);
        QElapsedTimer clock;
        clock.start();
        EXPECT_FALSE(Run(QStringLiteral("https://www.site.test/"), 3000));
        EXPECT_LT(clock.elapsed(), 3000) << "no waiting for the timeout";
        EXPECT_EQ(m_failure, QString::fromLatin1(c.reason));
        EXPECT_EQ(m_slotFailure[1], QString::fromLatin1(c.reason));
        EXPECT_TRUE(server.Requests().empty());
        EXPECT_FALSE(m_engine.IsRunning());
        EXPECT_TRUE(Tree().empty());
    }
}

TEST_F(SitesTest, AStartPageThatCannotBeFetchedFailsTheJobWithItsReason)
{
    TestHttpServer &stalling = Serve("www.stall.site.test", 0);
    stalling.SetRoute("/", Route::Page("never")).behaviours = {Behaviour::Stall(0)};
    Connection::SetConnectTo(
        QStringLiteral("www.site.test"), TestHttpServer::Address(), stalling.Port());
    Connection::SetConnectTo(QStringLiteral("nowhere.test"), QStringLiteral("no..such..host"), 80);
    Connection::SetConnectTo(
        QStringLiteral("www.nowhere.test"), QStringLiteral("no..such..host"), 80);
    QTcpServer gone;
    ASSERT_TRUE(gone.listen(QHostAddress::LocalHost));
    Connection::SetConnectTo(
        QStringLiteral("www.refused.test"), TestHttpServer::Address(), gone.serverPort());
    gone.close();

    const struct
    {
        const char *typed;
        const char *reason;
    } cases[] = {
        {"http://stall.site.test/", "timed out three times"},
        {"http://nowhere.test/", "name not found"},
        {"http://refused.test/", "connection refused"},
        {"http://www.site.test/../up.html", "request refused: its path climbs above the site"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        EXPECT_FALSE(Run(QString::fromLatin1(c.typed), 3000));
        EXPECT_EQ(m_failure, QString::fromLatin1(c.reason));
        EXPECT_FALSE(m_engine.IsRunning());
    }
    EXPECT_EQ(stalling.RequestCount("/"), 3U);
}

TEST_F(SitesTest, AStartPageThatMovesWithinTheSiteIsFollowed)
{
    const auto page = Route::Page("<a href='p.html'>p</a>");
    {
        SCOPED_TRACE("http to https on the same host");
        TestHttpServer &plain = Serve("www.site.test", 80);
        TestHttpServer &secure = Serve("www.site.test", 443, true);
        plain.SetRoute("/", Route::Redirect(301, "https://www.site.test/"));
        secure.SetRoute("/", page);
        secure.SetRoute("/p.html", Route::Page("p"));
        ASSERT_TRUE(Run(QStringLiteral("http://site.test/")));
        EXPECT_EQ(m_startUrl, QStringLiteral("https://www.site.test/"));
        EXPECT_EQ(secure.RequestCount("/p.html"), 1U);
        EXPECT_EQ(plain.Requests().size(), 1U);
        EXPECT_EQ(Tree().count("site.test/p.html"), 1U);
    }
    {
        SCOPED_TRACE("www. to bare and back");
        TestHttpServer &www = Serve("www.site.test", 80);
        TestHttpServer &bare = Serve("site.test", 80);
        www.SetRoute("/", Route::Redirect(302, "http://site.test/start/"));
        bare.SetRoute("/start/", Route::Redirect(307, "//www.site.test:80/home/"));
        www.SetRoute("/home/", page);
        www.SetRoute("/home/p.html", Route::Page("p"));
        ASSERT_TRUE(Run(QStringLiteral("www.site.test")));
        EXPECT_EQ(m_startUrl, QStringLiteral("www.site.test/home/"));
        EXPECT_EQ(HostsOf(bare), std::vector<std::string> {"site.test"});
        EXPECT_EQ(www.RequestCount("/home/p.html"), 1U);
        const auto tree = Tree();
        EXPECT_EQ(tree.count("site.test/home/index.html"), 1U);
        EXPECT_EQ(tree.count("site.test/home/p.html"), 1U);
        EXPECT_EQ(tree.count("site.test/index.html"), 0U) << "a move is not stored as a page";
    }
}

TEST_F(SitesTest, ALoopOrAMoveToAnotherSiteEndsTheJobAndSaysWhy)
{
    TestHttpServer &server = Serve("www.site.test", 0);
    server.SetRoute("/", Route::Redirect(301, "/a/"));
    server.SetRoute("/a/", Route::Redirect(302, "http://www.site.test/"));
    for (int i = 0; i < 12; ++i)
        server.SetRoute("/r" + std::to_string(i) + "/",
            Route::Redirect(308, "/r" + std::to_string(i + 1) + "/"));
    server.SetRoute("/away/", Route::Redirect(301, "https://Other.test/new/"));

    const struct
    {
        const char *typed;
        const char *reason;
        std::size_t requests;
    } cases[] = {
        {"www.site.test/", "redirect loop at http://www.site.test/", 2},
        {"www.site.test/r0/", "more than 10 redirects", 11},
        {"www.site.test/away/", "the site moved to https://other.test/new/", 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        const std::size_t before = server.Requests().size();
        EXPECT_FALSE(Run(QString::fromLatin1(c.typed)));
        EXPECT_EQ(m_failure, QString::fromLatin1(c.reason));
        EXPECT_EQ(server.Requests().size() - before, c.requests);
        EXPECT_TRUE(Tree().empty());
    }
}

TEST_F(SitesTest, RedirectsInsideTheSiteAreStoredAsPagesThatLeadOn)
{
    TestHttpServer &server = Serve("www.site.test", 0);
    server.SetRoute("/",
        Route::Page("<a href='old.html'>o</a><a href='dir/gone.html'>g</a>"
                    "<a href='away.html'>a</a><a href='bare.html'>b</a>"));
    server.SetRoute("/old.html", Route::Redirect(301, "/new/page.html"));
    server.SetRoute("/new/page.html", Route::Page("new"));
    server.SetRoute("/dir/gone.html", Route::Redirect(302, "../top.html"));
    server.SetRoute("/top.html", Route::Page("top"));
    server.SetRoute("/away.html", Route::Redirect(301, "http://elsewhere.test/x?a=1&b=\"2\""));
    server.SetRoute("/bare.html", Route::Status(301));

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    const auto tree = Tree();
    const auto leadsTo = [&](const std::string &file, const std::string &href) {
        const std::string &page = tree.count(file) ? tree.at(file) : std::string();
        return page.find("content=\"0; url=" + href + "\"") != std::string::npos
            && page.find("<a href=\"" + href + "\">") != std::string::npos;
    };
    EXPECT_TRUE(leadsTo("site.test/old.html", "new/page.html"));
    EXPECT_TRUE(leadsTo("site.test/dir/gone.html", "../top.html"));
    EXPECT_TRUE(leadsTo("site.test/away.html", "http://elsewhere.test/x?a=1&amp;b=&quot;2&quot;"));
    EXPECT_EQ(tree.at("site.test/new/page.html"), Stored("new"));
    EXPECT_EQ(tree.at("site.test/top.html"), Stored("top"));
    EXPECT_EQ(tree.at("site.test/bare.html"), Stored("<html>301</html>\r\n\n"))
        << "a redirect without Location is stored as it came";
}

TEST_F(SitesTest, PortsLocalHostsAndAddressesAreFetchedAsTyped)
{
    const auto port = [](const TestHttpServer &server) { return std::to_string(server.Port()); };
    TestHttpServer &local = Serve(nullptr, 0);
    TestHttpServer &localTls = Serve(nullptr, 0, true);
    TestHttpServer &named = Serve("www.site.test", 8080);
    TestHttpServer &shop = Serve("shop.site.test", 0);
    Connection::SetConnectTo(
        QStringLiteral("www.shop.site.test"), QStringLiteral("no..such..host"), 80);
    TestHttpServer &intranet = Serve("intranet", 0);

    const struct
    {
        std::string typed;
        TestHttpServer &server;
        std::string host; // the Host header, and the start URL the job shows
        std::string folder;
    } cases[] = {
        {"http://localhost:" + port(local) + "/", local, "localhost:" + port(local),
            "localhost+" + port(local)},
        {"http://127.0.0.1:" + port(local) + "/", local, "127.0.0.1:" + port(local),
            "127.0.0.1+" + port(local)},
        {"https://localhost:" + port(localTls) + "/", localTls, "localhost:" + port(localTls),
            "localhost+" + port(localTls)},
        {"http://www.site.test:8080/", named, "www.site.test:8080", "site.test+8080"},
        {"http://shop.site.test/", shop, "shop.site.test", "shop.site.test"},
        {"http://intranet/", intranet, "intranet", "intranet"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        c.server.SetRoute("/", Route::Page("<a href='a.html'>a</a>"));
        c.server.SetRoute("/a.html", Route::Page("a"));
        const std::size_t before = c.server.Requests().size();
        ASSERT_TRUE(Run(QString::fromStdString(c.typed)));
        const std::vector<std::string> hosts = HostsOf(c.server);
        EXPECT_EQ(std::vector<std::string>(hosts.begin() + static_cast<long>(before), hosts.end()),
            std::vector<std::string>(2, c.host));
        EXPECT_TRUE(m_startUrl.contains(QString::fromStdString(c.host + "/")));
        const auto tree = Tree();
        EXPECT_EQ(tree.count(c.folder + "/index.html"), 1U);
        EXPECT_EQ(tree.count(c.folder + "/a.html"), 1U);
    }
}

} // namespace
} // namespace tw
