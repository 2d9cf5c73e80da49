#include "common/textconversion.h"
#include "connections/connection.h"
#include "connections/engine.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"
#include "output/placeholders.h"

#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QDir>
#include <QScopeGuard>
#include <QSignalSpy>

#include <gtest/gtest.h>

#include <set>

#include <sys/mount.h>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;

const std::string kTimeoutFile = "Unable to download this file. (Timeout)";

// One engine copying "www.site.test", served by the in-process test server, into a fresh folder.
class EngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Listen());
        Connection::SetConnectTo(
            QStringLiteral("www.site.test"), test::TestHttpServer::Address(), m_server.Port());
        SetOutputDirectory(m_root.Path() + "mirror\\", m_engine.Job());
        m_engine.SetTimeoutInterval(300);
        m_engine.SetFileTypeFilterSource([] { return FileTypeFilterOf(DefaultFileTypes()); });
        QObject::connect(&m_engine, &Engine::slotStateChanged, [this](int slot, SlotState state) {
            m_state[slot] = state;
            m_stateHistory[slot].push_back(state);
        });
        QObject::connect(&m_engine, &Engine::slotReset,
            [this](int slot) { m_state[slot] = SlotState::NotConnected; });
        QObject::connect(&m_engine, &Engine::siteCompleted, [this] { ++m_completions; });
        QObject::connect(&m_engine, &Engine::siteFailed,
            [this](const Failure &failure) { m_siteFailures.push_back(FailureText(failure)); });
    }

    void TearDown() override
    {
        if (m_engine.IsRunning())
            m_engine.StopNOW();
        Connection::ClearConnectTo();
    }

    void Page(
        const std::string &path, const std::string &body, std::vector<Behaviour> behaviours = {})
    {
        m_server.SetRoute(path, Route::Page(body)).behaviours = std::move(behaviours);
    }

    bool Run(const QString &url, int timeoutMs = 10000)
    {
        m_engine.ConnectNowNow(url);
        test::WaitUntil([this] { return m_completions > 0 || !m_siteFailures.empty(); }, timeoutMs);
        return m_completions > 0;
    }

    // Pages /<prefix>0.html... of the given body and behaviour; returns the links to them.
    std::string Pages(const std::string &prefix, int count, std::size_t size,
        const std::vector<Behaviour> &behaviours)
    {
        std::string links;
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i) + ".html";
            links += "<a href='" + name + "'></a>";
            Page("/" + name, std::string(size, 'x'), behaviours);
        }
        return links;
    }

    std::map<std::string, std::string> Tree() const
    {
        return test::ReadTree(m_root.NativePath() + QStringLiteral("/mirror"));
    }
    std::string File(const std::string &name) const
    {
        return test::ReadFileBytes(m_root.Path() + "mirror\\site.test\\" + name);
    }

    // Text is stored with a final CR LF.
    static std::string Stored(const std::string &body) { return body + "\r\n"; }

    test::TempDir m_root;
    test::TestHttpServer m_server;
    Engine m_engine;
    std::map<int, SlotState> m_state;
    std::map<int, std::vector<SlotState>> m_stateHistory;
    int m_completions = 0;
    std::vector<QString> m_siteFailures;
};

TEST_F(EngineTest, SendsTheExactRequestBytes)
{
    Page("/docs/", "<p>docs</p>");
    ASSERT_TRUE(Run(QStringLiteral("  http://www.site.test/docs/index.html  ")));
    ASSERT_EQ(m_server.Requests().size(), 1u);
    EXPECT_EQ(m_server.Requests()[0].raw,
        "GET /docs/ HTTP/1.0\r\nHost: www.site.test\r\nReferrer: www.site.test\r\n"
        "User-Agent: Internet Explorer 6.01\r\n\r\n");
}

TEST_F(EngineTest, MirrorsAWholeSiteOnceWithLinksRewritten)
{
    Page("/",
        "<a href='a.html'>a</a><img src='img/logo.gif'><a href=\"shop.php?id=3\">s</a>"
        "<a href='http://elsewhere.test/x.html'>x</a>");
    Page(
        "/a.html", "<a href='index.html'>home</a><a href='sub/b.html'>b</a><a href='a.html'>a</a>");
    Page("/sub/b.html", "<a href='../a.html'>a</a><a href='../img/logo.gif'>logo</a>");
    Page("/shop.php?id=3", "<p>shop</p>");
    const std::string gif = std::string("GIF89a\r\n\0\x01\n", 11) + "binary.php'";
    m_server.SetRoute("/img/logo.gif", Route::Page(gif, "image/gif"));

    ASSERT_TRUE(Run(QStringLiteral("http://www.site.test/")));

    const std::map<std::string, std::string> expected {
        {"site.test/index.html",
            Stored("<a href='a.html'>a</a><img src='img/logo.gif'><a "
                   "href=\"shop.php_id=3\">s</a><a "
                   "href='http://elsewhere.test/x.html'>x</a>")},
        {"site.test/a.html",
            Stored("<a href='index.html'>home</a><a href='sub/b.html'>b</a><a "
                   "href='a.html'>a</a>")},
        {"site.test/sub/b.html",
            Stored("<a href='../a.html'>a</a><a href='../img/logo.gif'>logo</a>")},
        {"site.test/img/logo.gif", gif},
        {"log.txt",
            "www.site.test/a.html\r\nwww.site.test/img/logo.gif\r\n"
            "www.site.test/sub/b.html\r\n"},
    };
    auto tree = Tree();
    EXPECT_EQ(tree, expected);
    for (const auto &path : {"/", "/a.html", "/sub/b.html", "/img/logo.gif"})
        EXPECT_EQ(m_server.RequestCount(path), 1u) << path;
    // A query string is part of the extension, so ".php?id=3" is not a wanted type.
    EXPECT_EQ(m_server.RequestCount("/shop.php?id=3"), 0u);
    EXPECT_EQ(m_engine.Job().aFiles, 4);
    EXPECT_EQ(m_completions, 1);
    EXPECT_FALSE(m_engine.IsRunning());
}

TEST_F(EngineTest, LinksResolveAgainstTheHostAsABrowserResolvesThem)
{
    Page("/", "<a href='docs/guide/page.html'>guide</a>");
    Page("/docs/guide/page.html",
        "<img src='/img/a.gif'><a href='//www.site.test/b.html'>b</a>"
        "<a href='HTTP://www.site.test/c.html'>c</a>"
        "<a href='http://other.test/www.site.test/d.html'>d</a>");
    m_server.SetRoute("/img/a.gif", Route::Page("GIF89a", "image/gif"));
    for (const char *path : {"/b.html", "/c.html"})
        Page(path, "x");

    ASSERT_TRUE(Run(QStringLiteral("http://www.site.test/")));

    for (const char *path : {"/img/a.gif", "/b.html", "/c.html"})
        EXPECT_EQ(m_server.RequestCount(path), 1U) << path;
    for (const auto &request : m_server.Requests())
        EXPECT_EQ(request.path.find("/docs/guide/img"), std::string::npos) << request.path;
    EXPECT_EQ(m_server.Requests().size(), 5U) << "nothing off the site";
    EXPECT_EQ(File("img/a.gif"), "GIF89a");
}

TEST_F(EngineTest, FetchesQueuedUrlsInTheOrderTheyWereAdmitted)
{
    m_engine.SetConnectionCount(1);
    Page("/", "<a href='c.html'></a><a href='a.html'></a><a href='b.html'></a>");
    for (const auto *path : {"/a.html", "/b.html", "/c.html"})
        Page(path, "x");
    ASSERT_TRUE(Run(QStringLiteral("www.site.test")));
    std::vector<std::string> order;
    for (const auto &request : m_server.Requests())
        order.push_back(request.path);
    EXPECT_EQ(order, (std::vector<std::string> {"/", "/c.html", "/a.html", "/b.html"}));
}

TEST_F(EngineTest, ThreeTriesThenTheTimeoutTextWrittenAndCountedOnceAsAFailure)
{
    Page("/", "<a href='slow.html'></a>");
    Page("/slow.html", "never", {Behaviour::Stall(0)});
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
    EXPECT_EQ(m_server.RequestCount("/slow.html"), 3u);
    EXPECT_EQ(File("slow.html"), Stored(kTimeoutFile));
    EXPECT_EQ(m_engine.Job().aFiles, 1) << "only the start page was stored";
    EXPECT_EQ(m_engine.Job().aFailures, 1);

    // The slot's timer has stopped: nothing is written or counted again afterwards.
    QSignalSpy failed(&m_engine, &Engine::fetchFailed);
    EXPECT_FALSE(failed.wait(1000));
    EXPECT_EQ(m_engine.Job().aFailures, 1);
}

TEST_F(EngineTest, BrokenResponsesAreFailedTriesReportedOnce)
{
    struct Case
    {
        std::string path;
        Route route;
        std::size_t requests;
        std::string stored;
        const char *reason; // nullptr: stored whole, no failure
    };
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n";
    m_engine.SetResponseMemoryLimit(64 * 1024);
    Route endless = Route::Page(std::string(1 << 20, 'e'), "application/zip");
    endless.behaviours = {Behaviour::InPieces({16 * 1024}, 1)};
    Route recovering = Route::Page(std::string(100, 'r'), "application/zip");
    recovering.behaviours = {Behaviour::Cut(20), Behaviour::Cut(60), Behaviour::Whole()};
    const std::vector<Case> cases = {
        {"/closed.html", Route::Raw(""), 3, Stored(kTimeoutFile), "no complete response header"},
        {"/halfhead.html", Route::Raw("HTTP/1.0 200 OK\r\nContent-Ty"), 3, Stored(kTimeoutFile),
            "no complete response header"},
        {"/nohead.zip", Route::Raw("raw bytes"), 3, kTimeoutFile, "no complete response header"},
        {"/headonly.zip", Route::Raw(head), 3, "", "incomplete: 0 of 100 bytes"},
        {"/short.zip", Route::Raw(head + "forty"), 3, "forty", "incomplete: 5 of 100 bytes"},
        {"/huge.zip", Route::Raw("HTTP/1.0 200 OK\r\nContent-Length: 3000000000\r\n\r\nx"), 3, "x",
            "incomplete: 1 of 3000000000 bytes"},
        {"/recovers.zip", recovering, 3, std::string(100, 'r'), nullptr},
        {"/ctl\x1b[2J\x9b.zip", Route::Raw(""), 3, kTimeoutFile, "no complete response header"},
        {"/endless.zip", endless, 3, kTimeoutFile, "too large"},
        {"/" + std::string(270, 'n') + ".zip", Route::Page("long", "application/zip"), 1, "long",
            nullptr},
    };
    std::string links;
    for (const Case &c : cases) {
        links += "<a href='" + c.path.substr(1) + "'></a>";
        m_server.SetRoute(c.path, c.route);
    }
    Page("/", links);
    std::map<QString, QString> failures;
    QObject::connect(
        &m_engine, &Engine::fetchFailed, [&](const std::string &url, const Failure &failure) {
            failures[DisplayText(url)] = FailureText(failure);
        });

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    std::int64_t failed = 0;
    for (const Case &c : cases) {
        EXPECT_EQ(m_server.RequestCount(c.path), c.requests) << c.path;
        EXPECT_EQ(File(c.path.substr(1)), c.stored) << c.path;
        const QString url = QStringLiteral("www.site.test") + DisplayText(c.path);
        if (c.reason) {
            ++failed;
            EXPECT_EQ(failures[url], QString::fromLatin1(c.reason)) << c.path;
        } else {
            EXPECT_FALSE(failures.count(url)) << c.path;
        }
    }
    EXPECT_EQ(failures.count(QStringLiteral("www.site.test/ctl\\x1B[2J\\x9B.zip")), 1U)
        << "control characters are shown escaped";
    EXPECT_EQ(m_engine.Job().aFailures, failed);
    EXPECT_EQ(m_engine.Job().aFiles, 3) << "the start page and the files stored whole";
}

TEST_F(EngineTest, NamesTheSystemCannotStoreAreShortenedAndLinkedTo)
{
    // A download folder so deep that a link of 300 bytes below it passes the path limit.
    QString deep = m_root.NativePath();
    while (deep.size() < 3800)
        deep += QLatin1Char('/')
            + QString(std::min<qsizetype>(250, 3800 - deep.size()), QLatin1Char('f'));
    ASSERT_TRUE(QDir().mkpath(deep));
    SetOutputDirectory(FileSystem::SystemPath(deep.toStdString()), m_engine.Job());
    const std::string longName = std::string(270, 'n') + ".html";
    const std::string deepLink = std::string(250, 'd') + "/" + std::string(40, 'e') + ".gif";
    Page("/", "<a href='" + longName + "'>n</a><img src='" + deepLink + "'>");
    Page("/" + longName, "long");
    m_server.SetRoute("/" + deepLink, Route::Page("GIF89a", "image/gif"));

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    EXPECT_EQ(m_engine.Job().aFailures, 0);
    EXPECT_EQ(m_engine.Job().aFiles, 3);
    const std::string site = FileSystem::SystemPath(deep.toStdString()) + "\\site.test\\";
    const std::string index = test::ReadFileBytes(site + "index.html");
    std::vector<std::string> targets;
    for (auto at = index.find("='"); at != std::string::npos; at = index.find("='", at + 2))
        targets.push_back(index.substr(at + 2, index.find('\'', at + 2) - at - 2));
    ASSERT_EQ(targets.size(), 2U) << index;
    EXPECT_EQ(test::ReadFileBytes(site + targets[0]), Stored("long"));
    EXPECT_EQ(test::ReadFileBytes(site + targets[1]), "GIF89a");
    for (const std::string &target : targets) {
        EXPECT_NE(target.find('~'), std::string::npos) << target;
        EXPECT_LE(FileSystem::NativePath(site + target).size(), FileSystem::kMaxPathBytes);
    }
}

TEST_F(EngineTest, AFullDiskReportsEveryFileItCouldNotStoreAndKeepsNoneCutShort)
{
    const QString small = m_root.NativePath() + QStringLiteral("/small");
    ASSERT_TRUE(QDir().mkpath(small));
    if (::mount("tmpfs", small.toLocal8Bit().constData(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "a tmpfs cannot be mounted here";
    const auto unmount = qScopeGuard([&] { ::umount(small.toLocal8Bit().constData()); });
    SetOutputDirectory(FileSystem::SystemPath(small.toStdString()), m_engine.Job());
    const std::string body(6000, 'z');
    std::string links;
    for (int i = 0; i < 30; ++i) {
        links += "<a href='f" + std::to_string(i) + ".zip'></a>";
        Page("/f" + std::to_string(i) + ".zip", body);
    }
    Page("/", links);
    std::vector<QString> reasons;
    QObject::connect(
        &m_engine, &Engine::fetchFailed, [&](const std::string &, const Failure &failure) {
            reasons.push_back(FailureText(failure));
        });

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    const SiteJob &job = m_engine.Job();
    EXPECT_GT(job.aFailures, 0);
    EXPECT_EQ(reasons.size(), static_cast<std::size_t>(job.aFailures));
    for (const QString &reason : reasons) {
        EXPECT_TRUE(reason == QStringLiteral("not stored: No space left on device")
            || reason == QStringLiteral("links not all followed: No space left on device"))
            << reason.toStdString();
    }
    std::int64_t whole = 0;
    for (const auto &[path, bytes] : test::ReadTree(small)) {
        if (path.ends_with(".zip")) {
            EXPECT_EQ(bytes, body) << path;
            ++whole;
        }
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
    }
    EXPECT_EQ(whole, job.aFiles - 1);
}

TEST_F(EngineTest, InterruptedResponsesAreRetriedFromScratchAndOddOnesComplete)
{
    const std::string body(20000, 'p');
    Page("/",
        "<a href='half.txt'></a><a href='cut.txt'></a><a href='nolength.txt'></a>"
        "<a href='pieces.txt'></a>");
    // A stall after half the body; a reset that must not be taken for the end.
    Page("/half.txt", body, {Behaviour::Stall(10000).FromBody(), Behaviour::Whole()});
    Page("/cut.txt", body, {Behaviour::Reset(10000).FromBody(), Behaviour::Whole()});
    // These end on one request: one not seen to end would time out and be fetched again.
    Page("/nolength.txt", body, {Behaviour::NoContentLength()});
    Page("/pieces.txt", body, {Behaviour::InPieces({1, 7, 500, 3000})});
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
    const std::pair<std::string, std::size_t> requests[]
        = {{"half.txt", 2}, {"cut.txt", 2}, {"nolength.txt", 1}, {"pieces.txt", 1}};
    for (const auto &[name, count] : requests) {
        EXPECT_EQ(m_server.RequestCount("/" + name), count) << name;
        EXPECT_EQ(File(name), Stored(body)) << name;
    }
}

TEST_F(EngineTest, RefusedParentPathSendsNothingAndWritesNothingOutside)
{
    EXPECT_FALSE(Run(QStringLiteral("www.site.test/../../../../escape.html"), 200));
    ASSERT_EQ(m_siteFailures.size(), 1U) << "the start page fails at once";
    EXPECT_TRUE(m_server.Requests().empty());
    for (const auto &[path, bytes] : test::ReadTree(m_root.NativePath()))
        EXPECT_TRUE(path.starts_with("mirror/")) << path;
}

TEST_F(EngineTest, StopInTheMiddleEmptiesTheQueueAndSweepsPlaceholders)
{
    // One folder from an earlier copy, one made by this one.
    ASSERT_TRUE(QDir().mkpath(m_root.NativePath() + QStringLiteral("/mirror/site.test/old")));
    Page("/",
        Pages("old/p", 10, 1, {Behaviour::Stall(0)})
            + Pages("new/p", 10, 1, {Behaviour::Stall(0)}));
    m_engine.SetTimeoutInterval(10000);
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    ASSERT_TRUE(m_server.WaitForRequests(4, 5000));
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
        SetOutputDirectory(m_root.Path() + "rate" + std::to_string(c.rate) + "\\", m_engine.Job());
        m_engine.SetConnectionCount(kSlotCount);
        m_engine.SetStartRate(c.rate);
        Page("/", Pages("p", 30, 1, {Behaviour::Stall(0)}));
        m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
        // No tick runs until every link is queued.
        m_engine.SetSchedulerEnabled(false);
        ASSERT_TRUE(test::WaitUntil([this] { return m_engine.Queue().Count() == 30; }, 5000));
        ASSERT_TRUE(test::WaitUntil([this] { return m_engine.BusyConnections() == 0; }, 5000));

        QSignalSpy ticks(&m_engine, &Engine::statsRefresh);
        m_engine.SetSchedulerEnabled(true);
        ASSERT_TRUE(ticks.wait(1000));
        EXPECT_EQ(m_engine.BusyConnections(), c.busyAfterOneTick);
        EXPECT_EQ(m_engine.Queue().Count(), 30U - c.busyAfterOneTick);
        for (int n = 1; n <= c.busyAfterOneTick; ++n)
            EXPECT_EQ(m_engine.Slot(n).url, "www.site.test/p" + std::to_string(n - 1) + ".html");
        m_engine.StopNOW();
    }
}

TEST_F(EngineTest, ConnectionCountChangesWhileRunning)
{
    Page("/", Pages("p", 12, 3000, {Behaviour::InPieces({500}, 40)}));
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    ASSERT_TRUE(test::WaitUntil([this] { return m_engine.BusyConnections() == 3; }, 5000));

    m_engine.SetConnectionCount(1);
    for (int n = 2; n <= kSlotCount; ++n)
        EXPECT_EQ(m_state[n], SlotState::NotConnected) << n;
    m_stateHistory.clear();
    ASSERT_TRUE(test::WaitUntil(
        [this] { return m_engine.BusyConnections() == 1 && m_stateHistory.count(1); }, 5000));
    for (int n = 2; n <= kSlotCount; ++n) {
        for (const SlotState state : m_stateHistory[n])
            EXPECT_NE(state, SlotState::Connecting) << n;
    }

    m_engine.SetConnectionCount(5);
    ASSERT_TRUE(
        test::WaitUntil([this] { return m_engine.BusyConnections() >= 4 || m_completions; }, 5000));
    ASSERT_TRUE(test::WaitUntil([this] { return m_completions > 0; }, 10000));
}

TEST_F(EngineTest, PauseHoldsBackNewFetchesWhileRunningOnesFinish)
{
    Page("/", Pages("p", 6, 2000, {Behaviour::InPieces({500}, 30)}));
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    ASSERT_TRUE(test::WaitUntil([this] { return m_engine.BusyConnections() == 3; }, 5000));
    m_engine.SetSchedulerEnabled(false);
    const auto queued = m_engine.Queue().Count();
    ASSERT_TRUE(test::WaitUntil([this] { return m_engine.BusyConnections() == 0; }, 5000));
    EXPECT_EQ(m_engine.Queue().Count(), queued);
    EXPECT_EQ(m_server.Requests().size(), 6 + 1 - queued);
    EXPECT_TRUE(m_engine.IsRunning());

    m_engine.SetSchedulerEnabled(true);
    ASSERT_TRUE(test::WaitUntil([this] { return m_completions > 0; }, 10000));
    EXPECT_EQ(m_server.Requests().size(), 7u);
}

TEST_F(EngineTest, TwentyFourConnectionsNestingInEachOtherStayByteExact)
{
    m_engine.SetConnectionCount(24);
    std::string links;
    std::map<std::string, std::string> bodies;
    for (int i = 0; i < 60; ++i) {
        const std::string name = "f" + std::to_string(i) + ".txt";
        std::string body;
        for (int j = 0; j < 2000 + i * 37; ++j)
            body += static_cast<char>('a' + (i * 7 + j) % 26);
        links += "<a href='" + name + "'></a>";
        Page("/" + name, body, {Behaviour::InPieces({97, 1, 1500}, 2)});
        bodies[name] = body;
    }
    Page("/", links);
    m_engine.SetTimeoutInterval(5000);
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/"), 30000));
    const auto tree = Tree();
    for (const auto &[name, body] : bodies) {
        EXPECT_EQ(m_server.RequestCount("/" + name), 1u) << name;
        const auto stored = tree.find("site.test/" + name);
        ASSERT_NE(stored, tree.end()) << name;
        EXPECT_EQ(stored->second, Stored(body)) << name;
    }
}

} // namespace
} // namespace tw
