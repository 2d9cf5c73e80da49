// The engine's start: start pages that move or fail, and hosts, ports and addresses as typed;
// then the controls a running job obeys.

#include "core/enginetest.h"

#include "common/textconversion.h"
#include "output/filetypes.h"

#include <QDir>
#include <QSignalSpy>

namespace tw {
namespace {

TEST_F(EngineTest, URLsWithoutAnExtensionOrWithAQueryAreStoredByWhatTheyAre)
{
    m_engine.SetFileTypeFilterSource([] { return FileTypeFilterOf(DefaultFileTypes()); });
    m_engine.SetConnectionCount(1); // in the order admitted: a type is known only once fetched
    // Path, Content-Type, what is stored (nullptr: nothing) and where.
    const struct
    {
        const char *path;
        const char *type;
        const char *file;
        const char *stored;
    } rows[] = {
        {"/docs", "text/html", "docs.html", nullptr},
        {"/about", "text/html; charset=utf-8", "about.html", "about"},
        {"/about/", "text/html", "about/index.html", "about/"},
        {"/docs/intro", "application/pdf", "docs/intro.pdf", "%PDF"},
        {"/blob", "application/octet-stream", nullptr, nullptr},
        {"/avatar", "image/webp", "avatar.webp", "RIFF"},
        {"/font", "application/octet-stream", "font.bin", "wOF2"},
        {"/pic.php?id=3", "image/png", "pic.php.png_id=3.png", "PNG\r\n\n"},
        {"/load.php?c=1", "text/css", "load.php.css_c=1.css", "p{}"},
        {"/s.css?v=3", "text/css", "s.css_v=3.css", "p{}"},
        {"/s.css?v=4", "text/css", "s.css_v=4.css", "b{}"},
        {"/later", "text/html", "later.html", nullptr},
    };
    for (const auto &row : rows)
        m_server.SetRoute(row.path, Route::Page(row.stored ? row.stored : "x", row.type));
    const auto storedAs = [](const char *file, const char *body) {
        const std::string name = file;
        return name.ends_with(".html") || name.ends_with(".css") ? Stored(body) : std::string(body);
    };
    m_server.SetRoute("/docs",
        Route::Page("<a href=about>a</a><a href=about/>b</a><a href='docs/intro'>i</a>"
                    "<a href=blob>b</a><link rel=stylesheet href='s.css?v=3'>"
                    "<link rel=stylesheet href='/s.css?v=4'><a href='page.php?id=1'>q</a>"
                    "<a href='about.html'>again</a><a href=later>l</a><a href=guide>g</a>"
                    "<img src=avatar><link rel=preload href=font><img src='pic.php?id=3'>"
                    "<link rel=stylesheet href='load.php?c=1'>"));
    // A page that moved to its folder form is followed there.
    m_server.SetRoute("/guide", Route::Redirect(301, "/guide/"));
    m_server.SetRoute("/guide/", Route::Page("guide"));
    m_server.SetRoute("/later", Route::Page("<a href='docs/intro'>i</a>"));
    std::vector<std::string> skipped;
    QObject::connect(&m_engine, &Engine::fetchSkipped, &m_engine,
        [&](const std::string &url, const std::string &type) {
            skipped.push_back(url + " " + type);
        });

    // A start URL naming a page is asked for as it is, not as a folder.
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/docs")));

    EXPECT_EQ(m_server.Requests().front().raw.substr(0, 19), "GET /docs HTTP/1.0\r");
    for (const auto &row : rows) {
        EXPECT_EQ(m_server.RequestCount(row.path), 1U) << row.path;
        if (row.stored) {
            EXPECT_EQ(File(row.file), storedAs(row.file, row.stored)) << row.path;
        }
    }
    EXPECT_EQ(skipped, std::vector<std::string> {"www.site.test/blob application/octet-stream"});
    EXPECT_EQ(m_server.RequestCount("/page.php?id=1"), 0U) << "a page with a query";
    EXPECT_EQ(m_engine.Counters().aSkipped, 1);
    EXPECT_EQ(m_engine.Counters().aFailures, 0);
    // Links lead to the files as stored, also those written before their target's type was known
    // (a page at the name a page would have leads on to the PDF all the same); the blob, of a
    // type not wanted, leads online once the fetches are over. What a page embeds is stored
    // whatever its type.
    EXPECT_EQ(File("docs.html"),
        Stored(
            "<a href=about.html>a</a><a href=about/index.html>b</a><a href='docs/intro.pdf'>i"
            "</a><a href=http://www.site.test/blob>b</a><link rel=stylesheet href='s.css_v=3.css'>"
            "<link rel=stylesheet href='s.css_v=4.css'>"
            "<a href='http://www.site.test/page.php?id=1'>q</a>"
            "<a href='about.html'>again</a><a href=later.html>l</a><a href=guide.html>g</a>"
            "<img src=avatar.webp><link rel=preload href=font.bin><img src='pic.php.png_id=3.png'>"
            "<link rel=stylesheet href='load.php.css_c=1.css'>"));
    EXPECT_EQ(File("guide/index.html"), Stored("guide"));
    EXPECT_NE(File("guide.html").find("url=guide/index.html"), std::string::npos);
    EXPECT_EQ(File("later.html"), Stored("<a href='docs/intro.pdf'>i</a>"));
    EXPECT_NE(File("docs/intro.html").find("url=intro.pdf"), std::string::npos);
    EXPECT_FALSE(QFile::exists(QString::fromStdString(
        FileSystem::NativePath(m_engine.Job().outputDir + "site.test/blob.html"))));
}

TEST_F(EngineTest, AStartPageThatCannotBeCopiedEndsTheJobWithItsReason)
{
    const test::TestAuthority stranger;
    TestHttpServer *untrusted
        = &Serve("www.untrusted.test").UseTls(stranger.Issue({"www.untrusted.test"}));
    TestHttpServer *wrongHost
        = &Serve("www.wrong.test").UseTls(test::TrustedAuthority().Issue({"other.test"}));
    TestHttpServer *expired
        = &Serve("www.expired.test")
               .UseTls(test::TrustedAuthority().Issue({"www.expired.test"}, -20, -2));
    TestHttpServer &stalling = Serve("www.stall.test");
    stalling.SetRoute("/", Route::Page("never")).behaviours = {Behaviour::Stall(0)};
    for (const char *host : {"nowhere.test", "www.nowhere.test"})
        Connection::SetConnectTo(QString::fromLatin1(host), QStringLiteral("no..such..host"), 80);
    Serve("www.refused.test");
    m_servers.pop_back(); // nothing listens on its port any more
    m_server.SetRoute("/", Route::Redirect(301, "/a/"));
    m_server.SetRoute("/a/", Route::Redirect(302, "http://www.site.test/"));
    for (int i = 0; i < 12; ++i)
        m_server.SetRoute("/r" + std::to_string(i) + "/",
            Route::Redirect(308, "/r" + std::to_string(i + 1) + "/"));
    m_server.SetRoute("/away/", Route::Redirect(301, "https://Other.test/new/"));

    const struct
    {
        const char *typed;
        const char *reason;
        TestHttpServer *server;
        std::size_t requests;
        int timeoutMs; // a certificate failure or a refused connect must not wait for it
        bool triedOut = false; // the timeout text stands in for the start page
    } cases[] = {
        {"https://untrusted.test/", "certificate not trusted", untrusted, 0, 20000},
        {"https://wrong.test/", "certificate is for another host", wrongHost, 0, 20000},
        {"https://expired.test/", "certificate expired", expired, 0, 20000},
        {"http://stall.test/", "timed out three times", &stalling, 3, 300, true},
        {"http://nowhere.test/", "name not found", nullptr, 0, 300},
        {"http://refused.test/", "connection refused", nullptr, 0, 20000, true},
        {"http://www.site.test/../up.html", "request refused: its path climbs above the site",
            &m_server, 0, 300},
        {"www.site.test/", "redirect loop at http://www.site.test/", &m_server, 2, 300},
        {"www.site.test/r0/", "more than 10 redirects", &m_server, 11, 300},
        {"www.site.test/away/", "the site moved to https://other.test/new/", &m_server, 1, 300},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        NewFolder();
        m_engine.SetTimeoutInterval(c.timeoutMs);
        m_slotFailure.clear();
        const std::size_t before = c.server ? c.server->Requests().size() : 0;
        EXPECT_FALSE(Run(QString::fromLatin1(c.typed), 3000));
        EXPECT_EQ(m_failure, QString::fromLatin1(c.reason));
        EXPECT_EQ(m_slotFailure[1], QString::fromLatin1(c.reason));
        EXPECT_FALSE(m_engine.IsRunning());
        EXPECT_EQ(Tree().size(), c.triedOut ? 1U : 0U);
        if (c.server) {
            EXPECT_EQ(c.server->Requests().size() - before, c.requests);
        }
    }
}

TEST_F(EngineTest, AStartPageThatMovesWithinTheSiteIsFollowed)
{
    // From www. to the bare host, back, and on to https.
    TestHttpServer &www = Serve("www.site.test", 80);
    TestHttpServer &bare = Serve("site.test", 80);
    TestHttpServer &secure = Serve("www.site.test", 443, true);
    www.SetRoute("/", Route::Redirect(302, "http://site.test/start/"));
    bare.SetRoute("/start/", Route::Redirect(307, "//www.site.test:80/home/"));
    www.SetRoute("/home/", Route::Redirect(301, "https://www.site.test/home/"));
    secure.SetRoute("/home/", Route::Page("<a href='p.html'>p</a>"));
    secure.SetRoute("/home/p.html", Route::Page("p"));

    ASSERT_TRUE(Run(QStringLiteral("http://site.test/")));

    EXPECT_EQ(m_startUrl, QStringLiteral("https://www.site.test/home/"));
    EXPECT_EQ(HostsOf(bare), std::vector<std::string> {"site.test"});
    EXPECT_EQ(www.Requests().size(), 2U);
    EXPECT_EQ(secure.RequestCount("/home/p.html"), 1U);
    const auto tree = Tree();
    EXPECT_EQ(tree.count("site.test/home/index.html"), 1U);
    EXPECT_EQ(tree.count("site.test/home/p.html"), 1U);
    EXPECT_EQ(tree.count("site.test/index.html"), 0U) << "a move is not stored as a page";
}

TEST_F(EngineTest, PortsLocalHostsAndAddressesAreFetchedAsTyped)
{
    const auto port = [](const TestHttpServer &server) { return std::to_string(server.Port()); };
    TestHttpServer &local = Serve(nullptr);
    TestHttpServer &localTls = Serve(nullptr, 0, true);
    TestHttpServer &named = Serve("www.site.test", 8080);
    TestHttpServer &shop = Serve("shop.site.test");
    Connection::SetConnectTo(
        QStringLiteral("www.shop.site.test"), QStringLiteral("no..such..host"), 80);
    TestHttpServer &intranet = Serve("intranet");

    const struct
    {
        std::string typed;
        TestHttpServer &server;
        std::string host; // the Host header, and the start URL the job shows
        std::string folder;
        // robots.txt asked too; the one of a "www." name that does not resolve is given up at
        // once, not after its timeouts.
        bool robots = false;
    } cases[] = {
        {"http://localhost:" + port(local) + "/", local, "localhost:" + port(local),
            "localhost+" + port(local)},
        {"https://localhost:" + port(localTls) + "/", localTls, "localhost:" + port(localTls),
            "localhost+" + port(localTls)},
        {"http://www.site.test:8080/", named, "www.site.test:8080", "site.test+8080"},
        {"http://shop.site.test/", shop, "shop.site.test", "shop.site.test", true},
        {"http://intranet/", intranet, "intranet", "intranet"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.typed);
        NewFolder();
        c.server.SetRoute("/", Route::Page("<a href='a.html'>a</a>"));
        c.server.SetRoute("/a.html", Route::Page("a"));
        m_engine.Job().robots = c.robots;
        // A timeout the run could not wait out, where robots.txt is asked.
        m_engine.SetTimeoutInterval(c.robots ? 60000 : 300);
        ASSERT_TRUE(Run(QString::fromStdString(c.typed)));
        EXPECT_EQ(HostsOf(c.server), std::vector<std::string>(c.robots ? 3 : 2, c.host));
        EXPECT_TRUE(m_startUrl.contains(QString::fromStdString(c.host + "/")));
        const auto tree = Tree();
        EXPECT_EQ(tree.count(c.folder + "/index.html"), 1U);
        EXPECT_EQ(tree.count(c.folder + "/a.html"), 1U);
    }
}

TEST_F(EngineTest, StopInTheMiddleEmptiesTheQueueAndSweepsPlaceholders)
{
    // One folder from an earlier copy, one made by this one.
    ASSERT_TRUE(
        QDir().mkpath(QString::fromStdString(FileSystem::NativePath(m_engine.Job().outputDir))
            + QStringLiteral("/site.test/old")));
    m_server.SetRoute("/",
        Route::Page(Pages("old/p", 10, 1, Behaviour::Stall(0))
            + Pages("new/p", 10, 1, Behaviour::Stall(0))));
    m_engine.SetTimeoutInterval(10000);
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_server.Requests().size() >= 4; }));
    m_engine.StopNOW();

    EXPECT_TRUE(m_engine.Queue().IsEmpty());
    EXPECT_TRUE(m_engine.AllSocketsClosed());
    for (int n = 1; n <= kSlotCount; ++n) {
        EXPECT_EQ(m_state[n], SlotState::NotConnected) << n;
        EXPECT_TRUE(m_engine.Slot(n).url.empty());
    }
    for (const auto &[path, bytes] : Tree())
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
    EXPECT_EQ(m_completions, 0);
}

TEST_F(EngineTest, TheStartRateSetsHowManyFetchesATickStarts)
{
    const struct
    {
        int rate;
        int busyAfterOneTick;
    } cases[] = {{kDefaultStartRate, 1}, {0, kSlotCount}, {100, 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        NewFolder();
        m_engine.SetConnectionCount(kSlotCount);
        m_server.SetRoute("/", Route::Page(Pages("p", 30, 1, Behaviour::Stall(0))));
        m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
        // No tick runs until every link is queued.
        m_engine.SetSchedulerEnabled(false);
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.Queue().Count() == 30; }));
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.BusyConnections() == 0; }));
        // Ticks with no connection free save up no burst.
        m_engine.SetConnectionCount(0);
        m_engine.SetStartRate(c.rate);
        QSignalSpy ticks(&m_engine, &Engine::statsRefresh);
        m_engine.SetSchedulerEnabled(true);
        ASSERT_TRUE(QTest::qWaitFor([&] { return ticks.count() >= 3; }));
        m_engine.SetConnectionCount(kSlotCount);
        ASSERT_TRUE(ticks.wait(1000));
        EXPECT_EQ(m_engine.BusyConnections(), c.busyAfterOneTick);
        EXPECT_EQ(m_engine.Queue().Count(), 30U - c.busyAfterOneTick);
        for (int n = 1; n <= c.busyAfterOneTick; ++n)
            EXPECT_EQ(m_engine.Slot(n).url, "www.site.test/p" + std::to_string(n - 1) + ".html");
        m_engine.StopNOW();
    }
}

TEST_F(EngineTest, WithoutARateAFetchStartsAsSoonAsAnotherEnds)
{
    // No tick comes while the test runs: what starts, starts without one.
    m_engine.SetSchedulerInterval(3'600'000);
    const struct
    {
        int rate;
        int busyAfterTheStartPage;
    } cases[] = {{0, kSlotCount}, {kDefaultStartRate, 0}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.rate);
        NewFolder();
        m_engine.SetConnectionCount(kSlotCount);
        m_engine.SetStartRate(c.rate);
        m_server.SetRoute("/", Route::Page(Pages("p", 30, 1, Behaviour::Stall(0))));
        m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
        ASSERT_TRUE(QTest::qWaitFor(
            [this] { return m_engine.Queue().Count() + m_engine.BusyConnections() == 30; }));
        EXPECT_EQ(m_engine.BusyConnections(), c.busyAfterTheStartPage);
        m_engine.StopNOW();
    }
}

TEST_F(EngineTest, ConnectionCountChangesWhileRunning)
{
    m_server.SetRoute("/", Route::Page(Pages("p", 12, 3000, Behaviour::InPieces({500}, 40))));
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.BusyConnections() == 3; }));

    m_engine.SetConnectionCount(1);
    for (int n = 2; n <= kSlotCount; ++n)
        EXPECT_EQ(m_state[n], SlotState::NotConnected) << n;
    m_stateHistory.clear();
    ASSERT_TRUE(QTest::qWaitFor(
        [this] { return m_engine.BusyConnections() == 1 && m_stateHistory.count(1); }));
    for (int n = 2; n <= kSlotCount; ++n) {
        for (const SlotState state : m_stateHistory[n])
            EXPECT_NE(state, SlotState::Connecting) << n;
    }

    m_engine.SetConnectionCount(5);
    ASSERT_TRUE(
        QTest::qWaitFor([this] { return m_engine.BusyConnections() >= 4 || m_completions; }));
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_completions > 0; }, 10000));
}

TEST_F(EngineTest, PauseHoldsBackNewFetchesWhileRunningOnesFinish)
{
    m_server.SetRoute("/", Route::Page(Pages("p", 6, 2000, Behaviour::InPieces({500}, 30))));
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.BusyConnections() == 3; }));
    m_engine.SetSchedulerEnabled(false);
    const auto queued = m_engine.Queue().Count();
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.BusyConnections() == 0; }));
    EXPECT_EQ(m_engine.Queue().Count(), queued);
    EXPECT_EQ(m_server.Requests().size(), 6 + 1 - queued);
    EXPECT_TRUE(m_engine.IsRunning());

    m_engine.SetSchedulerEnabled(true);
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_completions > 0; }, 10000));
    EXPECT_EQ(m_server.Requests().size(), 7u);
}

} // namespace
} // namespace tw
