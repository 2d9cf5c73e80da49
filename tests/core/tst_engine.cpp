// The engine copying sites served by in-process servers, plain and TLS: what it fetches and
// stores, how it retries and reports broken answers, start pages that move or fail, and the
// controls a running job obeys.

#include "common/textconversion.h"
#include "connections/connection.h"
#include "connections/engine.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/outputdirectory.h"

#include "support/testcertificates.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QDir>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <sys/mount.h>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;
using test::TestHttpServer;

const std::string kTimeoutFile = "Unable to download this file. (Timeout)";

const test::TestAuthority &Authority()
{
    static const test::TestAuthority authority;
    return authority;
}

// Text is stored with a final CR LF.
std::string Stored(const std::string &body)
{
    return body + "\r\n";
}

// One engine, each run into a fresh folder, against servers for www.site.test and other hosts.
class EngineTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(SetTlsTrust({Authority().Pem(), true}));
        NewFolder();
        m_engine.SetTimeoutInterval(300);
        m_engine.SetFileTypeFilterSource([] { return FileTypeFilterOf(DefaultFileTypes()); });
        QObject::connect(&m_engine, &Engine::slotStateChanged, [this](int slot, SlotState state) {
            m_state[slot] = state;
            m_stateHistory[slot].push_back(state);
        });
        QObject::connect(&m_engine, &Engine::slotReset,
            [this](int slot) { m_state[slot] = SlotState::NotConnected; });
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

    // A fresh server for host (none: not mapped), asked for on fromPort (0: any), TLS when secure.
    TestHttpServer &Serve(
        const char *host = "www.site.test", quint16 fromPort = 0, bool secure = false)
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

    void NewFolder()
    {
        SetOutputDirectory(
            m_root.Path() + "mirror" + std::to_string(++m_folders) + "\\", m_engine.Job());
    }

    // Runs a job to its end: true when it completed, false when it failed or did not end in time.
    bool Run(const QString &url, int timeoutMs = 10000)
    {
        m_completions = 0;
        m_failure.clear();
        m_startUrl = m_engine.ConnectNowNow(url);
        (void)QTest::qWaitFor(
            [this] { return m_completions > 0 || !m_failure.isEmpty(); }, timeoutMs);
        return m_completions > 0;
    }

    // Pages /<prefix>0.html... of the given size and behaviour; returns the links to them.
    std::string Pages(const std::string &prefix, int count, std::size_t size,
        const std::vector<Behaviour> &behaviours)
    {
        std::string links;
        for (int i = 0; i < count; ++i) {
            const std::string name = prefix + std::to_string(i) + ".html";
            links += "<a href='" + name + "'></a>";
            m_server.SetRoute("/" + name, Route::Page(std::string(size, 'x'))).behaviours
                = behaviours;
        }
        return links;
    }

    std::map<std::string, std::string> Tree() const
    {
        return test::ReadTree(
            QString::fromStdString(FileSystem::NativePath(m_engine.Job().outputDir)));
    }
    std::string File(const std::string &name) const
    {
        return test::ReadFileBytes(m_engine.Job().outputDir + "site.test\\" + name);
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

    test::TempDir m_root;
    int m_folders = 0;
    std::vector<std::unique_ptr<TestHttpServer>> m_servers;
    TestHttpServer &m_server = Serve();
    Engine m_engine;
    std::map<int, SlotState> m_state;
    std::map<int, std::vector<SlotState>> m_stateHistory;
    std::map<int, QString> m_slotFailure;
    QString m_startUrl;
    QString m_failure;
    int m_completions = 0;
};

// A site of pages, a style sheet, images and twenty text files, and what its copy holds.
struct Site
{
    std::map<std::string, Route> routes;
    std::map<std::string, std::string> stored;

    explicit Site(bool secure)
    {
        const std::string gif = std::string("GIF89a\r\n\0\x01\n", 11) + "binary.php'";
        std::string many;
        for (int i = 0; i < 20; ++i) {
            const std::string name = "f" + std::to_string(i) + ".txt";
            std::string body;
            for (int j = 0; j < 2000 + i * 37; ++j)
                body += static_cast<char>('a' + (i * 7 + j) % 26);
            many += "<a href='" + name + "'></a>";
            Page("/many/" + name, body, "many/" + name, Stored(body));
        }
        Page("/",
            "<a href='a.html'>a</a><img src='img/logo.gif'><a href=\"shop.php?id=3\">s</a>"
            "<a href='http://elsewhere.test/x.html'>x</a><a href=\"/docs/guide/page.html\">g</a>"
            "<a href=\"//www.site.test/docs/\">d</a><a href='many/'>m</a>",
            "index.html",
            Stored("<a href='a.html'>a</a><img src='img/logo.gif'><a href=\"shop.php_id=3\">s</a>"
                   "<a href='http://elsewhere.test/x.html'>x</a><a href=\"docs/guide/page.html\">g"
                   "</a><a href=\"docs/index.html\">d</a><a href='many/index.html'>m</a>"));
        Page("/many/", many, "many/index.html", Stored(many));
        Page("/a.html",
            "<a href='index.html'>home</a><a href='sub/b.html'>b</a><a href='a.html'>a</a>");
        Page("/sub/b.html", "<a href='../a.html'>a</a><a href='../img/logo.gif'>logo</a>");
        routes["/shop.php?id=3"] = Route::Page("not a wanted type: the query is part of it");
        routes["/img/logo.gif"] = Route::Page(gif, "image/gif");
        stored["img/logo.gif"] = gif;
        Page("/docs/", "<a href=\"guide/page.html#end\">g</a>", "docs/index.html",
            Stored("<a href=\"guide/page.html#end\">g</a>"));
        Page("/docs/guide/page.html",
            "<link rel=stylesheet href=\"/css/site.css\"><img src=\"/img/a.gif\">"
            "<img srcset=\"/img/s1.png 1x, http://www.site.test/img/s2.png 2x\">"
            "<div style=\"background:url(/img/bg.png)\"></div><a "
            "href=\"http://www.site.test/#top\">"
            "home</a><a href=\"/cgi-bin/f.cgi\">f</a><a href='//www.site.test/b.html'>b</a>"
            "<a href='HTTP://www.site.test/c.html'>c</a>"
            "<a href='http://other.test/www.site.test/d.html'>d</a>",
            "docs/guide/page.html",
            Stored("<link rel=stylesheet href=\"../../css/site.css\"><img src=\"../../img/a.gif\">"
                   "<img srcset=\"../../img/s1.png 1x, ../../img/s2.png 2x\">"
                   "<div style=\"background:url(../../img/bg.png)\"></div><a href=\"../../index."
                   "html#top\">home</a><a href=\""
                + std::string(secure ? "https" : "http")
                + "://www.site.test/cgi-bin/f.cgi\">f</a>"
                  "<a href='../../b.html'>b</a><a href='../../c.html'>c</a>"
                  "<a href='http://other.test/www.site.test/d.html'>d</a>"));
        Page("/css/site.css",
            "@import url(\"base.css\");\nbody{background:url(/img/bg2.png)}\n"
            "@font-face{src:url('../fonts/f.woff2')}",
            "css/site.css",
            Stored("@import url(\"base.css\");\nbody{background:url(../img/bg2.png)}\n"
                   "@font-face{src:url('../fonts/f.woff2')}"));
        Page("/css/base.css", "p{}");
        for (const char *path : {"/b.html", "/c.html"})
            Page(path, "x");
        for (const char *image : {"/img/a.gif", "/img/s1.png", "/img/s2.png", "/img/bg.png",
                 "/img/bg2.png", "/fonts/f.woff2"}) {
            routes[image] = Route::Page(std::string("bytes of ") + image, "image/png");
            stored[image + 1] = std::string("bytes of ") + image;
        }
    }

    void Page(const std::string &path, const std::string &body, std::string file = {},
        std::string bytes = {})
    {
        routes[path] = Route::Page(body, path.ends_with(".css") ? "text/css" : "text/html");
        stored[file.empty() ? path.substr(1) : file] = bytes.empty() ? Stored(body) : bytes;
    }
};

TEST_F(EngineTest, CopiesAWholeSiteOnceWhateverTheWayItsAnswersCome)
{
    m_engine.SetFileTypeFilterSource(
        [] { return FileTypeFilterOf(DefaultFileTypes()) + ":.woff2:"; });
    const struct
    {
        const char *name;
        const char *typed;
        bool secure;
        int connections;
        std::vector<Behaviour> how; // of every answer in turn
        std::size_t requests; // of every file
        const char *startUrl;
    } rows[] = {
        {"plain", "  http://www.site.test/  ", false, 3, {}, 1, "www.site.test/"},
        {"one connection: in the order admitted", "www.site.test", false, 1, {}, 1,
            "www.site.test"},
        {"TLS without close_notify", "HTTPS://www.site.test/", true, 24,
            {Behaviour::Whole().WithoutCloseNotify()}, 1, "https://www.site.test/"},
        {"TLS, a reset in every first body", "https://www.site.test/", true, 24,
            {Behaviour::Reset(1).FromBody(), Behaviour::Whole()}, 2, "https://www.site.test/"},
        {"a reset in every first body", "www.site.test/", false, 24,
            {Behaviour::Reset(1).FromBody(), Behaviour::Whole()}, 2, "www.site.test/"},
        {"a stall in every first body", "www.site.test/", false, 24,
            {Behaviour::Stall(1).FromBody(), Behaviour::Whole()}, 2, "www.site.test/"},
        {"no Content-Length", "www.site.test/", false, 3, {Behaviour::NoContentLength()}, 1,
            "www.site.test/"},
        {"24 connections nesting, small pieces", "www.site.test/", false, 24,
            {Behaviour::InPieces({97, 1, 7, 1500}, 2)}, 1, "www.site.test/"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Site site(row.secure);
        NewFolder();
        m_engine.SetConnectionCount(row.connections);
        m_engine.SetStartRate(0); // every free connection starts at each tick
        TestHttpServer &plain = Serve("www.site.test", 80);
        TestHttpServer &secure = Serve("www.site.test", 443, true);
        TestHttpServer &server = row.secure ? secure : plain;
        for (const auto &[path, route] : site.routes)
            server.SetRoute(path, route).behaviours = row.how;

        ASSERT_TRUE(Run(QString::fromLatin1(row.typed), 30000));

        EXPECT_EQ(m_startUrl, QString::fromLatin1(row.startUrl));
        EXPECT_TRUE((row.secure ? plain : secure).Requests().empty());
        std::map<std::string, std::size_t> requests, expected;
        for (const test::Request &request : server.Requests())
            ++requests[request.path];
        for (const auto &[path, route] : site.routes)
            expected[path] = path.starts_with("/shop.php") ? 0 : row.requests;
        std::erase_if(expected, [](const auto &entry) { return entry.second == 0; });
        EXPECT_EQ(requests, expected) << "each file as often as its answers need, nothing else";

        auto tree = Tree();
        const std::string log = tree["log.txt"];
        tree.erase("log.txt");
        std::map<std::string, std::string> stored;
        for (const auto &[file, bytes] : site.stored)
            stored["site.test/" + file] = bytes;
        stored["transdd.txt"]
            = "www.site.test/css/../fonts/f.woff2\r\nwww.site.test/fonts/f.woff2\r\n\r\n";
        EXPECT_EQ(tree.size(), stored.size());
        for (const auto &[file, bytes] : stored)
            EXPECT_EQ(tree[file], bytes) << file;
        EXPECT_EQ(m_engine.Job().aFiles, static_cast<std::int64_t>(site.stored.size()));
        EXPECT_EQ(m_engine.Job().aFailures, 0);
        EXPECT_FALSE(m_engine.IsRunning());

        // The log holds every URL queued, once, in the order admitted; one connection fetches
        // them in that order.
        std::vector<std::string> order {"/"};
        for (std::size_t at = 0; at < log.size(); at = log.find("\r\n", at) + 2) {
            std::string path = log.substr(at + 13, log.find("\r\n", at) - at - 13);
            order.push_back(
                path.ends_with("/index.html") ? path.substr(0, path.size() - 10) : path);
        }
        std::map<std::string, std::size_t> logged;
        for (const std::string &path : order)
            logged[path] += row.requests;
        EXPECT_EQ(logged, expected);
        if (row.connections == 1) {
            std::vector<std::string> fetched;
            for (const test::Request &request : server.Requests())
                fetched.push_back(request.path);
            EXPECT_EQ(fetched, order);
            EXPECT_EQ(server.Requests()[0].raw,
                "GET / HTTP/1.0\r\nHost: www.site.test\r\nReferrer: www.site.test\r\n"
                "User-Agent: Internet Explorer 6.01\r\n\r\n");
        }
    }
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
    Route stalled = Route::Page("never");
    stalled.behaviours = {Behaviour::Stall(0)};
    const std::vector<Case> cases = {
        {"/slow.html", stalled, 3, Stored(kTimeoutFile), "timed out three times"},
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
    m_server.SetRoute("/", Route::Page(links));
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
    // No timeout is left to write or count anything again.
    for (const QTimer *timer : m_engine.findChildren<QTimer *>())
        EXPECT_FALSE(timer->isActive());
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
    m_server.SetRoute(
        "/", Route::Page("<a href='" + longName + "'>n</a><img src='" + deepLink + "'>"));
    m_server.SetRoute("/" + longName, Route::Page("long"));
    m_server.SetRoute("/" + deepLink, Route::Page("GIF89a", "image/gif"));

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    EXPECT_EQ(m_engine.Job().aFailures, 0);
    EXPECT_EQ(m_engine.Job().aFiles, 3);
    const std::string index = File("index.html");
    std::vector<std::string> targets;
    for (auto at = index.find("='"); at != std::string::npos; at = index.find("='", at + 2))
        targets.push_back(index.substr(at + 2, index.find('\'', at + 2) - at - 2));
    ASSERT_EQ(targets.size(), 2U) << index;
    EXPECT_EQ(File(targets[0]), Stored("long"));
    EXPECT_EQ(File(targets[1]), "GIF89a");
    for (const std::string &target : targets) {
        EXPECT_NE(target.find('~'), std::string::npos) << target;
        EXPECT_LE(FileSystem::NativePath(m_engine.Job().outputDir + "site.test\\" + target).size(),
            FileSystem::kMaxPathBytes);
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
        m_server.SetRoute("/f" + std::to_string(i) + ".zip", Route::Page(body));
    }
    m_server.SetRoute("/", Route::Page(links));
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

TEST_F(EngineTest, StopInTheMiddleEmptiesTheQueueAndSweepsPlaceholders)
{
    // One folder from an earlier copy, one made by this one.
    ASSERT_TRUE(
        QDir().mkpath(QString::fromStdString(FileSystem::NativePath(m_engine.Job().outputDir))
            + "/site.test/old"));
    m_server.SetRoute("/",
        Route::Page(Pages("old/p", 10, 1, {Behaviour::Stall(0)})
            + Pages("new/p", 10, 1, {Behaviour::Stall(0)})));
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
        m_engine.SetStartRate(c.rate);
        m_server.SetRoute("/", Route::Page(Pages("p", 30, 1, {Behaviour::Stall(0)})));
        m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
        // No tick runs until every link is queued.
        m_engine.SetSchedulerEnabled(false);
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.Queue().Count() == 30; }));
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.BusyConnections() == 0; }));

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
    m_server.SetRoute("/", Route::Page(Pages("p", 12, 3000, {Behaviour::InPieces({500}, 40)})));
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
    m_server.SetRoute("/", Route::Page(Pages("p", 6, 2000, {Behaviour::InPieces({500}, 30)})));
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

TEST_F(EngineTest, AStartPageThatCannotBeCopiedEndsTheJobWithItsReason)
{
    const test::TestAuthority stranger;
    const auto secure = [this](const char *host, const test::TestCertificate &certificate) {
        TestHttpServer *server = &Serve(host);
        server->UseTls(certificate);
        return server;
    };
    TestHttpServer *untrusted
        = secure("www.untrusted.test", stranger.Issue({"www.untrusted.test"}));
    TestHttpServer *wrongHost = secure("www.wrong.test", Authority().Issue({"other.test"}));
    TestHttpServer *expired
        = secure("www.expired.test", Authority().Issue({"www.expired.test"}, -20, -2));
    TestHttpServer &stalling = Serve("www.stall.test");
    stalling.SetRoute("/", Route::Page("never")).behaviours = {Behaviour::Stall(0)};
    for (const char *host : {"nowhere.test", "www.nowhere.test"})
        Connection::SetConnectTo(QString::fromLatin1(host), QStringLiteral("no..such..host"), 80);
    QTcpServer gone;
    ASSERT_TRUE(gone.listen(QHostAddress::LocalHost));
    Connection::SetConnectTo(
        QStringLiteral("www.refused.test"), TestHttpServer::Address(), gone.serverPort());
    gone.close();
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
        int timeoutMs; // a certificate failure must not wait for it
        bool triedOut = false; // the timeout text stands in for the start page
    } cases[] = {
        {"https://untrusted.test/", "certificate not trusted", untrusted, 0, 20000},
        {"https://wrong.test/", "certificate is for another host", wrongHost, 0, 20000},
        {"https://expired.test/", "certificate expired", expired, 0, 20000},
        {"http://stall.test/", "timed out three times", &stalling, 3, 300, true},
        {"http://nowhere.test/", "name not found", nullptr, 0, 300},
        {"http://refused.test/", "connection refused", nullptr, 0, 300, true},
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
        NewFolder();
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

TEST_F(EngineTest, RedirectsInsideTheSiteAreStoredAsPagesThatLeadOn)
{
    m_server.SetRoute("/",
        Route::Page("<a href='old.html'>o</a><a href='dir/gone.html'>g</a>"
                    "<a href='away.html'>a</a><a href='bare.html'>b</a>"));
    m_server.SetRoute("/old.html", Route::Redirect(301, "/new/page.html"));
    m_server.SetRoute("/new/page.html", Route::Page("new"));
    m_server.SetRoute("/dir/gone.html", Route::Redirect(302, "../top.html"));
    m_server.SetRoute("/top.html", Route::Page("top"));
    m_server.SetRoute("/away.html", Route::Redirect(301, "http://elsewhere.test/x?a=1&b=\"2\""));
    m_server.SetRoute("/bare.html", Route::Status(301));

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
        NewFolder();
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
