// The engine copying sites served by in-process servers, plain and TLS: what it fetches and
// stores, and how it retries and reports broken answers.

#include "core/enginetest.h"

#include "report/copyjournal.h"

#include "common/stringops.h"
#include "common/textconversion.h"
#include "output/redirectpage.h"

#include <QDir>
#include <QScopeGuard>
#include <QTimer>

#include <sys/mount.h>

#include <map>
#include <set>

namespace tw {
namespace {

const std::string kTimeoutFile = "Unable to download this file. (Timeout)";

// A site of pages, a style sheet, images, moves and twenty text files, and what its copy holds;
// shop.php?id=3 is of no wanted type, its query being part of its name.
struct Site
{
    std::map<std::string, Route> routes;
    std::map<std::string, std::string> stored;

    explicit Site(bool secure = false)
    {
        const std::string scheme = secure ? "https://" : "http://";
        const std::string gif = std::string("GIF89a\r\n\0\x01\n", 11) + "binary.php'";
        std::string many;
        for (int i = 0; i < 20; ++i) {
            many += "<a href='f" + std::to_string(i) + ".txt'></a>";
            // Text files are no pages: stored as they came.
            const std::string text(2000 + i * 37, static_cast<char>('a' + i));
            routes["/many/f" + std::to_string(i) + ".txt"] = Route::Page(text, "text/plain");
            stored["many/f" + std::to_string(i) + ".txt"] = text;
        }
        Page("/many/", many);
        Page("/",
            "<a href='a.html'>a</a><img src='img/logo.gif'><a href=\"shop.php?id=3\">s</a>"
            "<a href='http://elsewhere.test/x.html'>x</a><a href=\"/docs/guide/page.html\">g</a>"
            "<a href=\"//www.site.test/docs/\">d</a><a href='many/'>m</a>",
            "<a href='a.html'>a</a><img src='img/logo.gif'><a href=\"" + scheme
                + "www.site.test/shop.php?id=3\">s</a>"
                  "<a href='http://elsewhere.test/x.html'>x</a><a "
                  "href=\"docs/guide/page.html\">g</a>"
                  "<a href=\"docs/index.html\">d</a><a href='many/index.html'>m</a>");
        // With one connection, a move's target is stored already (new/page.html) or only queued
        // (top.html) when the move is stored.
        Page("/a.html",
            "<a href='index.html'>home</a><a href='sub/b.html'>b</a><a href='a.html'>a</a>"
            "<a href='new/page.html'>n</a><a href='old.html'>o</a><a href='dir/gone.html'>g</a>"
            "<a href='away.html'>a</a><a href='bare.html'>b</a><a href='top.html'>t</a>");
        Page("/sub/b.html", "<a href='../a.html'>a</a><a href='../img/logo.gif'>logo</a>");
        routes["/img/logo.gif"] = Route::Page(gif, "image/gif");
        stored["img/logo.gif"] = gif;
        Page("/docs/", "<a href=\"guide/page.html#end\">g</a>");
        Page("/docs/guide/page.html",
            "<link rel=stylesheet href=\"/css/site.css\"><img src=\"/img/a.gif\">"
            "<img srcset=\"/img/s1.png 1x, http://www.site.test/img/s2.png 2x\">"
            "<div style=\"background:url(/img/bg.png)\"></div>"
            "<a href=\"http://www.site.test/#top\">home</a>",
            "<link rel=stylesheet href=\"../../css/site.css\"><img src=\"../../img/a.gif\">"
            "<img srcset=\"../../img/s1.png 1x, ../../img/s2.png 2x\">"
            "<div style=\"background:url(../../img/bg.png)\"></div>"
            "<a href=\"../../index.html#top\">home</a>");
        Page("/css/site.css",
            "@import url(\"base.css\");\nbody{background:url(/img/bg2.png)}\n"
            "@font-face{src:url('../fonts/f.woff2')}",
            "@import url(\"base.css\");\nbody{background:url(../img/bg2.png)}\n"
            "@font-face{src:url('../fonts/f.woff2')}");
        Page("/css/base.css", "p{}");
        for (const char *image : {"/img/a.gif", "/img/s1.png", "/img/s2.png", "/img/bg.png",
                 "/img/bg2.png", "/fonts/f.woff2"}) {
            routes[image] = Route::Page(std::string("bytes of ") + image, "image/png");
            stored[image + 1] = std::string("bytes of ") + image;
        }
        // A move inside the site is stored as a page that leads on to the copy of its target,
        // a move elsewhere as one that leads there, and one without a Location as it came.
        Move("/old.html", "/new/page.html", "new/page.html");
        Page("/new/page.html", "new");
        Move("/dir/gone.html", "/top.html", "../top.html");
        Page("/top.html", "top");
        const std::string away = "http://elsewhere.test/x?a=1&b=\"2\"";
        Move("/away.html", away, away);
        Move("/bare.html", {}, {});
    }

    // A page or style sheet at path, stored as stored (none: as it came).
    void Page(const std::string &path, const std::string &body, const std::string &stored = {})
    {
        routes[path] = Route::Page(body, path.ends_with(".css") ? "text/css" : "text/html");
        this->stored[path.substr(1) + (path.ends_with('/') ? "index.html" : "")]
            = Stored(stored.empty() ? body : stored);
    }

    // A move at path to location (none: a 301 without one), stored as a page that leads to href
    // (none: as it came). A page's line ends are stored as CR LF.
    void Move(const std::string &path, const std::string &location, const std::string &href)
    {
        routes[path] = location.empty() ? Route::Status(301) : Route::Redirect(302, location);
        stored[path.substr(1)] = Stored(
            ReplaceAll(href.empty() ? routes[path].body : RedirectPage(href), "\n", "\r\n"));
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
        std::vector<Behaviour> how; // of every answer in turn; all but the last fail
        const char *startUrl;
        // Only a stall needs the timeout: a loaded machine must not make a slow answer a retry.
        int timeoutMs = 10000;
    } rows[] = {
        {"plain", "  http://www.site.test/  ", false, 3, {}, "www.site.test/"},
        {"one connection: in the order admitted", "www.site.test", false, 1, {}, "www.site.test"},
        {"TLS without close_notify", "HTTPS://www.site.test/", true, 24, {Behaviour::BareClose()},
            "https://www.site.test/"},
        {"a reset in every first body", "www.site.test/", false, 24,
            {Behaviour::Reset(1, true), Behaviour::Whole()}, "www.site.test/"},
        {"a stall in every first body", "www.site.test/", false, 24,
            {Behaviour::Stall(1, true), Behaviour::Whole()}, "www.site.test/", 300},
        {"no Content-Length", "www.site.test/", false, 3, {{.contentLength = false}},
            "www.site.test/"},
        {"24 connections nesting, small pieces", "www.site.test/", false, 24,
            {Behaviour::InPieces({97, 1, 7, 1500}, 2)}, "www.site.test/"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        const Site site(row.secure);
        NewFolder();
        m_engine.SetConnectionCount(row.connections);
        m_engine.SetTimeoutInterval(row.timeoutMs);
        m_engine.SetStartRate(0); // every free connection starts at each tick
        TestHttpServer &plain = Serve("www.site.test", 80);
        TestHttpServer &secure = Serve("www.site.test", 443, true);
        TestHttpServer &server = row.secure ? secure : plain;
        for (const auto &[path, route] : site.routes)
            server.SetRoute(path, route).behaviours = row.how;

        ASSERT_TRUE(Run(QString::fromLatin1(row.typed), 30000));

        EXPECT_EQ(m_startUrl, QString::fromLatin1(row.startUrl));
        EXPECT_TRUE((row.secure ? plain : secure).Requests().empty());
        auto tree = Tree();
        const std::string log = tree["log.txt"];
        tree.erase("log.txt");
        std::map<std::string, std::string> stored {{"transdd.txt",
            "www.site.test/css/../fonts/f.woff2\r\nwww.site.test/fonts/f.woff2\r\n\r\n"}};
        for (const auto &[file, bytes] : site.stored)
            stored["site.test/" + file] = bytes;
        EXPECT_EQ(tree, stored);
        EXPECT_EQ(m_engine.Counters().aFiles, static_cast<std::int64_t>(site.stored.size()));
        EXPECT_EQ(m_engine.Counters().aFailures, 0);
        EXPECT_FALSE(m_engine.IsRunning());

        // The log holds every URL queued, once, in the order admitted; each is fetched as often
        // as its answers need, and nothing else is.
        std::vector<std::string> admitted {"/"};
        for (std::size_t at = 0; at < log.size(); at = log.find("\r\n", at) + 2)
            admitted.push_back(ReplaceAll(
                log.substr(at + 13, log.find("\r\n", at) - at - 13), "/index.html", "/"));
        const std::size_t tries = std::max<std::size_t>(1, row.how.size());
        std::map<std::string, std::size_t> requests, logged, expected;
        std::vector<std::string> fetched;
        for (const test::Request &request : server.Requests()) {
            ++requests[request.path];
            fetched.push_back(request.path);
        }
        for (const std::string &path : admitted)
            logged[path] += tries;
        for (const auto &[path, route] : site.routes)
            expected[path] = tries;
        EXPECT_EQ(requests, expected);
        EXPECT_EQ(logged, expected);
        if (row.connections == 1) {
            EXPECT_EQ(fetched, admitted);
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
        std::string stored;
        const char *reason; // nullptr: stored whole, no failure
    };
    const std::string head = "HTTP/1.0 200 OK\r\nContent-Length: 100\r\n\r\n";
    m_engine.SetResponseMemoryLimit(std::int64_t {64} * 1024);
    // A page is held whole, for its links; a file goes to disk as it comes, each try afresh.
    Route endless = Route::Page(std::string(1 << 20, 'e'));
    endless.behaviours = {Behaviour::InPieces({std::size_t {16} * 1024}, 1)};
    Route big = Route::Page(std::string(200000, 'b'), "application/zip");
    big.behaviours = {Behaviour::Cut(150000), Behaviour::Cut(100000),
        Behaviour::InPieces({std::size_t {16} * 1024}, 1)};
    Route recovering = Route::Page(std::string(100, 'r'), "application/zip");
    recovering.behaviours = {Behaviour::Cut(20), Behaviour::Cut(60), Behaviour::Whole()};
    Route stalled = Route::Page("never");
    stalled.behaviours = {Behaviour::Stall(0)};
    // A reset ends an answer where its length says, or nowhere: it is never waited out.
    const std::string unmeasured = "HTTP/1.0 200 OK\r\n\r\n";
    Route reset = Route::Raw(head + std::string(100, 'z'));
    reset.behaviours = {Behaviour::Reset(head.size() + 30)};
    Route resetUnmeasured = Route::Raw(unmeasured + std::string(100, 'u'));
    resetUnmeasured.behaviours = {Behaviour::Reset(unmeasured.size() + 40)};
    Route resetWhenWhole = Route::Raw(head + std::string(100, 'w'));
    resetWhenWhole.behaviours = {Behaviour::Reset(head.size() + 30),
        Behaviour::Reset(unmeasured.size()), Behaviour::Reset(head.size() + 100)};
    const std::vector<Case> cases = {
        {"/closed.html", Route::Raw(""), Stored(kTimeoutFile), "no complete response header"},
        {"/nohead.zip", Route::Raw("raw bytes"), kTimeoutFile, "no complete response header"},
        {"/headonly.zip", Route::Raw(head), "", "incomplete: 0 of 100 bytes"},
        {"/short.zip", Route::Raw(head + "forty"), "forty", "incomplete: 5 of 100 bytes"},
        {"/huge.zip", Route::Raw("HTTP/1.0 200 OK\r\nContent-Length: 3000000000\r\n\r\nx"), "x",
            "incomplete: 1 of 3000000000 bytes"},
        {"/reset.zip", reset, std::string(30, 'z'), "incomplete: 30 of 100 bytes"},
        {"/resetunmeasured.zip", resetUnmeasured, std::string(40, 'u'), "connection reset"},
        {"/resetwhenwhole.zip", resetWhenWhole, std::string(100, 'w'), nullptr},
        {"/recovers.zip", recovering, std::string(100, 'r'), nullptr},
        {"/ctl\x1b[2J\x9b.zip", Route::Raw(""), kTimeoutFile, "no complete response header"},
        {"/endless.html", endless, Stored(kTimeoutFile), "too large"},
        {"/big.zip", big, std::string(200000, 'b'), nullptr},
        // Fetched last, it keeps the job running while the other connections stand idle, so a
        // timeout left running for them would fire.
        {"/slow.html", stalled, Stored(kTimeoutFile), "timed out three times"},
    };
    std::string links;
    for (const Case &c : cases) {
        links += "<a href='" + c.path.substr(1) + "'></a>";
        m_server.SetRoute(c.path, c.route);
    }
    m_server.SetRoute("/", Route::Page(links));
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    std::map<QString, QString> expected;
    for (const Case &c : cases) {
        EXPECT_EQ(m_server.RequestCount(c.path), 3U) << c.path;
        EXPECT_EQ(File(c.path.substr(1)), c.stored) << c.path;
        if (c.reason)
            expected[QStringLiteral("www.site.test") + DisplayText(c.path)]
                = QString::fromLatin1(c.reason);
    }
    EXPECT_EQ(m_failures, expected);
    EXPECT_EQ(m_failures.count(QStringLiteral("www.site.test/ctl\\x1B[2J\\x9B.zip")), 1U)
        << "control characters are shown escaped";
    EXPECT_EQ(m_engine.Counters().aFailures, static_cast<std::int64_t>(expected.size()));
    EXPECT_EQ(m_engine.Counters().aFiles, 4) << "the start page and the files stored whole";
    for (const auto &[path, bytes] : Tree())
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
    // No timeout is left to write or count anything again.
    for (const QTimer *timer : m_engine.findChildren<QTimer *>())
        EXPECT_FALSE(timer->isActive());
}

TEST_F(EngineTest, KeptAliveConnectionsCarrySeveralFilesAndEveryWayAnAnswerEnds)
{
    struct Case
    {
        std::string path;
        Route route;
        std::string stored;
        const char *reason; // nullptr: stored, no failure
        std::size_t asked = 1;
    };
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n";
    Route chunked = Route::Raw(ok
        + "Transfer-Encoding: chunked\r\n\r\n4;name=value\r\nWiki\r\n0B\r\npedia in ch\r\n"
          "0\r\nExpires: never\r\n\r\n");
    chunked.behaviours = {Behaviour::InPieces({7}, 1)};
    Route longer = Route::Raw(ok + "Content-Length: 9\r\n\r\nabc");
    longer.behaviours = {Behaviour::Cut(1000)};
    Route http10 = Route::Raw("HTTP/1.0 200 OK\r\nContent-Type: image/gif\r\n\r\nto the close");
    http10.behaviours = {Behaviour::Cut(1000)};
    // Closed unanswered three times, the first on a kept connection: that one costs no try.
    Route dropped = Route::Page("whole", "image/gif");
    dropped.behaviours = {Behaviour::Cut(0), Behaviour::Cut(0), Behaviour::Cut(0), {}};
    // Timed out on a kept connection: the tries after it go on new ones, and each costs a try.
    Route stalled = Route::Page("whole", "image/gif");
    stalled.behaviours = {Behaviour::Stall(0), Behaviour::Cut(0), Behaviour::Cut(0), {}};
    // Whole, and closed at once: the close comes with the last bytes.
    // Bigger than the memory limit, in chunks of every size, split anywhere.
    std::string chunks, unchunked;
    for (std::size_t i = 0; unchunked.size() < (std::size_t {3} << 20); ++i) {
        const std::string data((i * 7919) % 70000 + 1, static_cast<char>('a' + i % 26));
        chunks += QByteArray::number(qulonglong(data.size()), 16).toStdString() + "\r\n" + data
            + "\r\n";
        unchunked += data;
    }
    Route bigChunked = Route::Raw(ok + "Transfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n");
    bigChunked.behaviours = {Behaviour::InPieces({30000, 1, 200000}, 1)};
    Route lastOnConnection = Route::Raw(ok + "Content-Length: 5\r\nConnection: close\r\n\r\nwhole");
    lastOnConnection.behaviours = {Behaviour::Cut(1000)};
    const std::vector<Case> cases = {
        {"/a.html", Route::Page("a"), Stored("a"), nullptr},
        {"/dropped.gif", dropped, "whole", nullptr, 4},
        {"/b.html", Route::Page("b"), Stored("b"), nullptr},
        {"/chunked.gif", chunked, "Wikipedia in ch", nullptr},
        {"/longer.gif", longer, "abc", "incomplete: 3 of 9 bytes", 3},
        {"/http10.gif", http10, "to the close", nullptr},
        {"/c.html", Route::Page("c"), Stored("c"), nullptr},
        {"/stalled.gif", stalled, kTimeoutFile, "no complete response header", 3},
        {"/big.gif", Route::Page(std::string(3 << 20, 'x'), "image/gif"), std::string(3 << 20, 'x'),
            nullptr},
        {"/bigchunked.gif", bigChunked, unchunked, nullptr},
        {"/last.gif", lastOnConnection, "whole", nullptr},
    };
    std::string links;
    for (const Case &c : cases) {
        links += "<img src='" + c.path.substr(1) + "'>";
        m_server.SetRoute(c.path, c.route);
    }
    m_server.SetRoute("/", Route::Page(links));
    m_server.SetKeptAnswers(3);
    m_engine.Job().keepAlive = true;
    m_engine.SetConnectionCount(1);
    m_engine.SetResponseMemoryLimit(std::int64_t {1} << 20);
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    std::map<QString, QString> expected;
    for (const Case &c : cases) {
        EXPECT_EQ(File(c.path.substr(1)), c.stored) << c.path;
        EXPECT_EQ(m_server.RequestCount(c.path), c.asked) << c.path;
        if (c.reason)
            expected[QStringLiteral("www.site.test") + DisplayText(c.path)]
                = QString::fromLatin1(c.reason);
    }
    EXPECT_EQ(m_failures, expected);
    for (const test::Request &request : m_server.Requests())
        EXPECT_NE(
            request.raw.find(" HTTP/1.1\r\nHost: www.site.test\r\nConnection: keep-alive\r\n"),
            std::string::npos)
            << request.raw;
    // Each connection carried up to three answers, unless one ended it early.
    EXPECT_LT(m_server.Connections(), static_cast<int>(m_server.Requests().size()));
}

TEST_F(EngineTest, KeptAliveLinksOfTheStartPageGoOutOnConnectionsOpenedBesideIt)
{
    const struct
    {
        const char *name;
        int loweredTo; // Max once the job has started; 0: left at 4
        int openWhenALinkWasAsked;
    } rows[] = {
        {"the start page's, and one for each free slot", 0, 4},
        {"those opened ahead on slots above a lowered Max are closed", 1, 1},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        TestHttpServer &server = Serve();
        int openWhenALinkWasAsked = 0;
        server.SetFallback([&](const std::string &) {
            if (openWhenALinkWasAsked == 0)
                openWhenALinkWasAsked = server.OpenConnections();
            return Route::Page("GIF", "image/gif");
        });
        server.SetRoute("/", Route::Page("<img src=a.gif><img src=b.gif><img src=c.gif>"));
        server.SetKeptAnswers(10);
        server.SetLatency(100);
        m_engine.Job().keepAlive = true;
        m_engine.SetConnectionCount(4);
        m_engine.SetStartRate(0);
        QObject lowering;
        if (row.loweredTo > 0)
            QObject::connect(&m_engine, &Engine::siteStarted, &lowering,
                [this, &row] { m_engine.SetConnectionCount(row.loweredTo); });
        ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
        EXPECT_EQ(openWhenALinkWasAsked, row.openWhenALinkWasAsked);
        EXPECT_EQ(server.Connections(), 4) << "no connect waited for the links";
        for (const char *file : {"a.gif", "b.gif", "c.gif"})
            EXPECT_EQ(File(file), "GIF") << file;
    }
}

TEST_F(EngineTest, WithoutARateTheNextRequestGoesOutBeforeTheAnswerAndComesBackIfItEnds)
{
    const std::string ok = "HTTP/1.1 200 OK\r\nContent-Type: image/gif\r\n";
    Route closing = Route::Raw(ok + "Content-Length: 1\r\nConnection: close\r\n\r\na");
    closing.behaviours = {Behaviour::Cut(1000)};
    const struct
    {
        const char *name;
        Route first; // the answer to the first link, behind which the second's request goes out
        int keptAnswers;
        std::string firstStored;
        const char *firstFailure; // nullptr: none
        std::size_t leastSentAhead;
        bool eachAskedOnce; // no answer of a kept connection is thrown away and asked for again
        bool firstFailsOnce = false; // the first answer to the first link is a 500
    } rows[] = {
        {"every answer keeps the connection", Route::Page("a", "image/gif"), 100, "a", nullptr, 1,
            true},
        {"the server closes after two answers", Route::Page("a", "image/gif"), 2, "a", nullptr, 0,
            false},
        {"an answer that closes", closing, 100, "a", nullptr, 0, false},
        {"a chunked answer, the next behind it",
            Route::Raw(ok + "Transfer-Encoding: chunked\r\n\r\n1\r\na\r\n0\r\n\r\n"), 100, "a",
            nullptr, 1, true},
        {"an answer longer than its length", Route::Raw(ok + "Content-Length: 1\r\n\r\naxyz"), 100,
            "a", nullptr, 1, false},
        {"an error status", Route::Status(404), 100, "", "404 Not Found", 1, true},
        {"an error tried again, behind the answer sent ahead", Route::Page("a", "image/gif"), 100,
            "a", nullptr, 1, true, true},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        m_failures.clear();
        TestHttpServer &server = Serve();
        server.SetRoute(
            "/", Route::Page("<img src=a.gif><img src=b.gif><img src=c.gif><img src=d.gif>"));
        int firstAnswers = 0;
        if (row.firstFailsOnce)
            server.SetFallback([&](const std::string &) {
                return firstAnswers++ == 0 ? Route::Status(500) : row.first;
            });
        else
            server.SetRoute("/a.gif", row.first);
        for (const char *name : {"b", "c", "d"})
            server.SetRoute(std::string("/") + name + ".gif", Route::Page(name, "image/gif"));
        server.SetKeptAnswers(row.keptAnswers);
        m_engine.Job().keepAlive = true;
        m_engine.SetConnectionCount(1);
        m_engine.SetStartRate(0);
        int triesOverOne = 0;
        QObject counting;
        QObject::connect(&m_engine, &Engine::fetchStored, &counting,
            [&triesOverOne, &row](const std::string &url, const StoredFetch &fetch) {
                const bool retried = row.firstFailsOnce && url.ends_with("/a.gif");
                triesOverOne += fetch.tries > (retried ? 2 : 1) ? 1 : 0;
            });
        ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

        EXPECT_EQ(File("a.gif"), row.firstStored);
        for (const char *name : {"b", "c", "d"})
            EXPECT_EQ(File(std::string(name) + ".gif"), name) << "each answer is its own request's";
        std::map<QString, QString> expected;
        if (row.firstFailure)
            expected[QStringLiteral("www.site.test/a.gif")] = QString::fromLatin1(row.firstFailure);
        EXPECT_EQ(m_failures, expected);
        EXPECT_EQ(triesOverOne, 0) << "a request given back costs no try";
        const auto &requests = server.Requests();
        EXPECT_GE(static_cast<std::size_t>(std::count_if(requests.begin(), requests.end(),
                      [](const test::Request &request) { return request.sentAhead; })),
            row.leastSentAhead);
        if (row.eachAskedOnce) {
            for (const char *path : {"/a.gif", "/b.gif", "/c.gif", "/d.gif"})
                EXPECT_EQ(server.RequestCount(path), row.firstFailsOnce && path[1] == 'a' ? 2 : 1)
                    << path;
        }
    }
}

TEST_F(EngineTest, AnAnswerThatArrivesWhileItsHandlerIsHeldIsNoTimeout)
{
    for (const bool keptAlive : {false, true}) {
        SCOPED_TRACE(keptAlive);
        NewFolder();
        TestHttpServer &server = Serve();
        const std::string body(300, 's');
        server.SetRoute("/", Route::Page("<img src=slow.gif>"));
        server.SetRoute("/slow.gif", Route::Page(body, "image/gif")).behaviours
            = {Behaviour::InPieces({100}, 5)};
        server.SetKeptAnswers(keptAlive ? 10 : 0);
        m_engine.Job().keepAlive = keptAlive;
        bool held = false;
        QObject holding;
        QObject::connect(&m_engine, &Engine::slotProgressChanged, &holding,
            [&](int slot, std::int64_t received, std::int64_t) {
                if (held || received == 0 || m_engine.Slot(slot).url != "www.site.test/slow.gif")
                    return;
                held = true;
                // The handler is held, as by others' handlers nested above it, until the
                // timeout has fired while the rest of its answer arrived.
                bool fired = false;
                for (QTimer *timer : m_engine.findChildren<QTimer *>()) {
                    if (timer->interval() == m_engine.TimeoutInterval())
                        QObject::connect(timer, &QTimer::timeout, &holding, [&] { fired = true; });
                }
                EXPECT_TRUE(QTest::qWaitFor([&] { return fired; }, 5000));
            });

        ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

        EXPECT_TRUE(held);
        EXPECT_EQ(File("slow.gif"), body);
        EXPECT_EQ(server.RequestCount("/slow.gif"), 1U) << "a whole answer is not asked again";
    }
    m_engine.Job().keepAlive = false;
}

TEST_F(EngineTest, ErrorAnswersAreNamedAndOnlyWhatTheSiteServesIsStored)
{
    m_engine.SetFileTypeFilterSource([] { return FileTypeFilterOf(DefaultFileTypes()) + ":.js:"; });
    m_engine.SetConnectionCount(24);
    // No try here may wait out a timeout: a refused connect fails at once.
    m_engine.SetTimeoutInterval(20000);
    Serve("closed.test");
    m_servers.pop_back(); // nothing listens on its port any more
    struct Case
    {
        std::string path;
        Route route;
        std::size_t requests;
        const char *stored; // nullptr: nothing stored
        const char *reason; // nullptr: no failure
    };
    int flakyAnswers = 0;
    m_server.SetFallback([&](const std::string &path) {
        return path == "/flaky.gif" && flakyAnswers++ == 0 ? Route::Status(500)
                                                           : Route::Page("GIF", "image/gif");
    });
    const std::vector<Case> cases = {
        {"/missing.html", Route::Status(404), 1, nullptr, "404 Not Found"},
        {"/gone.gif", Route::Status(410), 1, nullptr, "410 Gone"},
        {"/busy.zip", Route::Status(503, "Retry-After: 1\r\n"), 3, nullptr,
            "503 Service Unavailable"},
        {"/many.zip", Route::Status(429), 3, nullptr, "429 Too Many Requests"},
        {"/flaky.gif", {}, 2, "GIF", nullptr},
        {"/lf.gif", Route::Raw("HTTP/1.0 200 OK\nContent-Type: image/gif\n\nGIF\r\n"), 1, "GIF\r\n",
            nullptr},
        {"/mix.gif", Route::Raw("HTTP/1.0 200 OK\r\nContent-Type: image/gif\n\r\nGIF\n"), 1,
            "GIF\n", nullptr},
        {"/c d.gif", Route::Page("GIF", "image/gif"), 1, "GIF", nullptr},
        {"/..x.html", Route::Status(400), 1, nullptr, "400 Bad Request"},
        {"/app.js",
            Route::Page(
                "a.href=\"never.html\"; x = '<img src=\"no.gif\">';", "application/javascript"),
            1, "a.href=\"never.html\"; x = '<img src=\"no.gif\">';", nullptr},
    };
    // A second page links the missing page again: it is asked for and reported once.
    std::string links
        = "<img src='p.jpeg'><a href='more.html'></a><img src='http://closed.test/x.gif'>";
    for (const Case &c : cases) {
        links += "<a href='" + c.path.substr(1) + "'></a>";
        if (!c.path.starts_with("/flaky"))
            m_server.SetRoute(c.path, c.route);
    }
    m_server.SetRoute("/", Route::Page(links));
    m_server.SetRoute("/p.jpeg", Route::Page("JPEG", "image/jpeg"));
    m_server.SetRoute("/more.html", Route::Page("<a href='missing.html'>"));
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/"), 20000));

    std::map<QString, QString> expected {
        {QStringLiteral("closed.test/x.gif"), QStringLiteral("connection refused")}};
    std::set<std::string> files {"log.txt", "site.test/index.html", "site.test/p.jpg",
        "site.test/more.html", "closed.test/x.gif"};
    EXPECT_EQ(Tree()["closed.test/x.gif"], kTimeoutFile);
    for (const Case &c : cases) {
        EXPECT_EQ(m_server.RequestCount(c.path), c.requests) << c.path;
        if (c.stored) {
            EXPECT_EQ(File(c.path.substr(1)), c.stored) << c.path;
            files.insert("site.test" + c.path);
        }
        if (c.reason)
            expected[QStringLiteral("www.site.test") + DisplayText(c.path)]
                = QString::fromLatin1(c.reason);
    }
    EXPECT_EQ(m_failures, expected);
    EXPECT_EQ(m_engine.Counters().aFailures, static_cast<std::int64_t>(expected.size()));
    // Neither the log nor the timeout text of a failed file counts.
    EXPECT_EQ(m_engine.Counters().aFiles, static_cast<std::int64_t>(files.size() - 2));
    std::set<std::string> found;
    for (const auto &[path, bytes] : Tree())
        found.insert(path);
    EXPECT_EQ(found, files) << "no error page, no placeholder";
    // The request names the file as the site does, and escapes what a request line may not hold.
    EXPECT_EQ(File("p.jpg"), "JPEG");
    EXPECT_EQ(File("index.html").substr(0, 18), "<img src='p.jpg'><");
    std::set<std::string> requestLines;
    for (const test::Request &request : m_server.Requests())
        requestLines.insert(request.raw.substr(0, request.raw.find("\r\n")));
    EXPECT_TRUE(requestLines.contains("GET /p.jpeg HTTP/1.0"));
    EXPECT_TRUE(requestLines.contains("GET /c%20d.gif HTTP/1.0"));
    EXPECT_EQ(m_server.RequestCount("/never.html") + m_server.RequestCount("/no.gif"), 0U);
}

TEST_F(EngineTest, TheRecordHoldsARowForEveryUrlWithWhatBecameOfIt)
{
    struct Case
    {
        std::string url;
        UrlState state;
        std::string reason;
        int status;
        std::string localPath;
    };
    TestHttpServer &cdn = Serve("cdn.test");
    cdn.SetRoute("/logo.gif", Route::Page("GIF", "image/gif"));
    cdn.SetRoute("/robots.txt", Route::Status(404));
    m_server.SetRoute("/robots.txt", Route::Page("User-agent: *\nDisallow: /private/\n"));
    m_engine.Job().robots = true;
    Route stalled = Route::Page("never");
    stalled.behaviours = {Behaviour::Stall(0)};
    m_server.SetRoute("/a.html", Route::Page("a"));
    m_server.SetRoute("/slow.html", stalled);
    m_server.SetRoute("/data", Route::Page("x", "application/x-odd"));
    m_server.SetRoute("/p.jpeg", Route::Page("JPEG", "image/jpeg"));
    m_server.SetRoute("/",
        Route::Page(
            "<a href=a.html></a><a href=gone.html></a><a href=slow.html></a><img src=p.jpeg>"
            "<a href=data></a><a href='list.html?p=1'></a>"
            "<a href='http://other.test/x.html'></a><img src='http://cdn.test/logo.gif'>"
            "<a href=private/no.html></a>"));
    const std::vector<Case> cases = {
        {"www.site.test/a.html", UrlState::Stored, "", 200, "site.test/a.html"},
        {"www.site.test/p.jpeg", UrlState::Stored, "", 200, "site.test/p.jpg"},
        {"www.site.test/gone.html", UrlState::Failed, "404 Not Found", 404, ""},
        {"www.site.test/slow.html", UrlState::Failed, "timed out three times", 0, ""},
        {"www.site.test/data", UrlState::Skipped, "type not wanted: application/x-odd", 0, ""},
        {"www.site.test/list.html?p=1", UrlState::Skipped, "page with a query", 0, ""},
        {"other.test/x.html", UrlState::Skipped, "on another host", 0, ""},
        {"cdn.test/logo.gif", UrlState::Stored, "", 200, "cdn.test/logo.gif"},
        {"www.site.test/private/no.html", UrlState::Skipped, "forbidden by robots.txt", 0, ""},
    };
    CopyJournal journal(m_engine);
    m_engine.SetConnectionCount(24);
    // What the last word on each stored file says was written, when it says.
    std::map<std::string, WrittenText> written;
    const auto note = [&written](const std::string &, const StoredFetch &fetch) {
        written[fetch.file] = {fetch.text, fetch.stamp};
    };
    QObject::connect(&m_engine, &Engine::fetchStored, &m_engine, note);
    QObject::connect(&m_engine, &Engine::storedFileRewritten, &m_engine, note);

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
    for (const auto &[file, text] : written) {
        if (text.text) {
            EXPECT_EQ(test::ReadFileBytes(file), *text.text) << file;
            EXPECT_EQ(FileSystem::StampOf(file), text.stamp) << file;
        }
    }
    EXPECT_FALSE(written.at(m_engine.Job().outputDir + "site.test/index.html").text)
        << "the start page, rewritten at the end for its link that never arrived";

    std::string error;
    const std::unique_ptr<CopyRecord> record = CopyRecord::Open(m_engine.Job().outputDir, error);
    ASSERT_TRUE(record) << error;
    for (const Case &c : cases) {
        const std::optional<UrlRecord> row = record->Find(c.url);
        ASSERT_TRUE(row) << c.url;
        EXPECT_EQ(row->state, c.state) << c.url;
        EXPECT_EQ(row->reason, c.reason) << c.url;
        EXPECT_EQ(row->httpStatus, c.status) << c.url;
        EXPECT_EQ(row->localPath, c.localPath) << c.url;
        if (c.state == UrlState::Stored) {
            EXPECT_EQ(row->size, FileSystem::FileSize(m_engine.Job().outputDir + c.localPath))
                << c.url;
        }
    }
    const std::string report = journal.WriteReport();
    ASSERT_FALSE(report.empty()) << journal.Error();
    const std::string page = test::ReadFileBytes(report);
    for (const char *shown : {"www.site.test/gone.html", "404 Not Found", "other.test/x.html"})
        EXPECT_NE(page.find(shown), std::string::npos) << shown;
}

TEST_F(EngineTest, RobotsTxtIsReadFirstAndObeyedAndAWaitPacesAHost)
{
    const struct
    {
        const char *name;
        Route robots;
        bool readRobots;
        int waitMs;
        std::set<std::string> fetched;
    } rows[] = {
        {"rules", Route::Page("User-agent: *\nDisallow: /private/\nAllow: /private/ok.html\n"),
            true, 0, {"/robots.txt", "/", "/a.html", "/private/ok.html"}},
        {"rules for another agent", Route::Page("User-agent: other\nDisallow: /\n"), true, 0,
            {"/robots.txt", "/", "/a.html", "/private/ok.html", "/private/no.html"}},
        {"no robots.txt", Route::Status(404), true, 0,
            {"/robots.txt", "/", "/a.html", "/private/ok.html", "/private/no.html"}},
        {"robots.txt unreadable", Route::Status(503), true, 0, {"/robots.txt", "/"}},
        {"not read", Route::Page("User-agent: *\nDisallow: /\n"), false, 0,
            {"/", "/a.html", "/private/ok.html", "/private/no.html"}},
        // No second fetch of the host starts within the hour.
        {"an hour's wait", Route::Status(404), false, 3'600'000, {"/"}},
    };
    m_server.SetRoute("/",
        Route::Page("<a href=a.html></a><a href=private/ok.html></a><a href=private/no.html></a>"));
    for (const char *page : {"/a.html", "/private/ok.html", "/private/no.html"})
        m_server.SetRoute(page, Route::Page(page));
    m_engine.SetConnectionCount(3);
    m_engine.SetStartRate(0);
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        m_server.SetRoute("/robots.txt", row.robots).behaviours = {};
        const std::size_t before = m_server.Requests().size();
        m_engine.Job().robots = row.readRobots;
        m_engine.Job().waitMs = row.waitMs;
        std::vector<std::string> skipped;
        const auto connection = QObject::connect(&m_engine, &Engine::linkSkipped, &m_engine,
            [&](const std::string &url, SkipCause) { skipped.push_back(url); });
        if (row.waitMs == 0) {
            ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
        } else {
            m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
            ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.Queue().Count() == 3; }));
            ASSERT_TRUE(QTest::qWaitFor([this] { return m_engine.BusyConnections() == 0; }));
            m_engine.StopNOW();
        }
        QObject::disconnect(connection);
        std::set<std::string> fetched;
        for (std::size_t i = before; i < m_server.Requests().size(); ++i)
            fetched.insert(m_server.Requests()[i].path);
        EXPECT_EQ(fetched, row.fetched);
        if (row.name == std::string_view("rules")) {
            EXPECT_EQ(skipped, std::vector<std::string> {"www.site.test/private/no.html"});
        }
        EXPECT_FALSE(
            test::ReadTree(QString::fromStdString(FileSystem::NativePath(m_engine.Job().outputDir)))
                .contains("site.test/robots.txt"));
    }
    m_engine.Job().robots = false;
    m_engine.Job().waitMs = 0;
}

TEST_F(EngineTest, AnUpdateAsksAgainAndReplacesOnlyWhatCameWholeAndAContinueFetchesNothingTwice)
{
    const std::string validators
        = "Last-Modified: Mon, 01 Jan 2024 00:00:00 GMT\r\nETag: \"v1\"\r\n";
    const auto page = [&](const std::string &body) {
        Route route = Route::Page(body);
        route.extraHeaders = validators;
        return route;
    };
    const auto file = [&](char fill) {
        Route route = page(std::string(std::size_t {3} << 20, fill));
        route.contentType = "application/zip";
        return route;
    };
    const std::string links = "<a href=a.html></a><a href=b.html></a><a href=c.html></a>"
                              "<a href=e.html></a><a href=f.zip></a>";
    m_server.SetRoute("/", page(links));
    for (const char *name : {"a", "b", "c", "e"})
        m_server.SetRoute("/" + std::string(name) + ".html", page(std::string("old ") + name));
    m_server.SetRoute("/f.zip", file('o'));
    CopyJournal journal(m_engine);
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
    const auto firstRun = m_server.Requests().size();

    // The site changes: a stays, b is gone, c changed, e and the big f changed but always arrive
    // cut short, and the start page links to a new d.
    m_server.SetRoute("/", page(links + "<a href=d.html></a>"));
    m_server.SetRoute("/a.html", Route::Status(304));
    m_server.SetRoute("/b.html", Route::Status(404));
    m_server.SetRoute("/c.html", page("new c"));
    m_server.SetRoute("/d.html", page("new d"));
    Route cut = page("new e, longer than what arrives");
    cut.behaviours = {Behaviour::Cut(60)};
    m_server.SetRoute("/e.html", cut);
    m_server.SetRoute("/f.zip", file('n')).behaviours = {Behaviour::Cut(std::size_t {2} << 20)};
    std::string why;
    std::optional<TakeUpPlan> plan = PlanTakeUp(m_engine.Job().outputDir, TakeUp::Update, why);
    ASSERT_TRUE(plan) << why;
    m_completions = 0;
    StartTakeUp(m_engine, std::move(*plan));
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_completions > 0; }, 10000));

    const std::map<std::string, std::string> expected
        = {{"a.html", Stored("old a")}, {"b.html", Stored("old b")}, {"c.html", Stored("new c")},
            {"d.html", Stored("new d")}, {"e.html", Stored("old e")}};
    for (const auto &[name, body] : expected)
        EXPECT_EQ(File(name), body) << name;
    EXPECT_EQ(File("f.zip"), std::string(std::size_t {3} << 20, 'o'));
    for (const auto &[path, bytes] : Tree())
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
    // What was asked again keeps its row in the record: an unchanged file is still stored.
    std::string error;
    EXPECT_EQ(
        CopyRecord::Open(m_engine.Job().outputDir, error)->Find("www.site.test/a.html")->state,
        UrlState::Stored);
    for (std::size_t i = firstRun; i < m_server.Requests().size(); ++i) {
        const test::Request &request = m_server.Requests()[i];
        const bool asked = request.path != "/d.html";
        EXPECT_EQ(request.raw.find("If-Modified-Since: Mon, 01 Jan 2024 00:00:00 GMT\r\n"
                                   "If-None-Match: \"v1\"\r\n")
                != std::string::npos,
            asked)
            << request.raw;
    }

    // A copy stopped as soon as it has queued the start page's links, then continued.
    NewFolder();
    m_engine.Job().revalidate.clear();
    m_server.SetRoute("/", page(links + "<a href=d.html></a>"));
    m_server.SetRoute("/a.html", page("a"));
    m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
    m_engine.SetSchedulerEnabled(false);
    ASSERT_TRUE(QTest::qWaitFor(
        [this] { return m_engine.Queue().Count() == 6 && m_engine.BusyConnections() == 0; }));
    m_engine.StopNOW();
    const auto stopped = m_server.Requests().size();
    plan = PlanTakeUp(m_engine.Job().outputDir, TakeUp::Continue, why);
    ASSERT_TRUE(plan) << why;
    EXPECT_FALSE(plan->fetchStartPage);
    m_completions = 0;
    StartTakeUp(m_engine, std::move(*plan));
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_completions > 0; }, 10000));
    std::multiset<std::string> continued;
    for (std::size_t i = stopped; i < m_server.Requests().size(); ++i)
        continued.insert(m_server.Requests()[i].path);
    EXPECT_EQ(continued,
        (std::multiset<std::string> {"/a.html", "/b.html", "/c.html", "/d.html", "/e.html",
            "/e.html", "/e.html", "/f.zip", "/f.zip", "/f.zip"}));
    EXPECT_EQ(File("a.html"), Stored("a"));
    EXPECT_EQ(File("d.html"), Stored("new d"));
}

TEST_F(EngineTest, AContinuedCopyEqualsAnUninterruptedOneWheneverTheFirstStopped)
{
    // The start page's queries reach the limit, and c's is one too many.
    m_server.SetRoute("/",
        Route::Page("<a href=a.html></a><a href=b.html></a><img src=p.jpeg>"
                    "<a href='q.html?1'></a><a href='q.html?2'></a>"));
    m_server.SetRoute("/a.html", Route::Page("<a href=c.html></a>"));
    m_server.SetRoute("/c.html", Route::Page("<a href='q.html?3'></a>"));
    for (const char *page : {"/b.html", "/q.html?1", "/q.html?2", "/q.html?3"})
        m_server.SetRoute(page, Route::Page(page));
    m_server.SetRoute("/p.jpeg", Route::Page("JPEG", "image/jpeg"));
    m_engine.Job().queryPages = true;
    m_engine.Job().maxQueriesPerPath = 2;
    CopyJournal journal(m_engine);
    const auto copy = [this] {
        std::map<std::string, std::string> files = Tree();
        std::erase_if(
            files, [](const auto &file) { return !file.first.starts_with("site.test/"); });
        std::string error;
        std::set<std::tuple<std::string, UrlState, std::string, std::int64_t>> rows;
        for (const UrlRecord &row : CopyRecord::Open(m_engine.Job().outputDir, error)->All())
            rows.emplace(row.url, row.state, row.localPath, row.size);
        return std::pair(files, rows);
    };
    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));
    const auto whole = copy();
    const struct
    {
        const char *name;
        std::function<void()> stop;
    } rows[] = {
        {"stopped as the start page was stored, before its links were queued",
            [this] {
                const auto stop = QObject::connect(
                    &m_engine, &Engine::fetchStored, &m_engine, [this] { m_engine.StopNOW(); });
                m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
                (void)QTest::qWaitFor([this] { return !m_engine.IsRunning(); });
                QObject::disconnect(stop);
            }},
        {"killed before the rows of the files it wrote were written",
            [this] {
                m_engine.ConnectNowNow(QStringLiteral("www.site.test/"));
                m_engine.StopNOW();
                const std::string folder = m_engine.Job().outputDir + "site.test/";
                FileSystem::MakeDir(folder);
                for (const auto &[name, text] : {std::pair("index.html", "<a hr"),
                         std::pair("a.html", "cut"), std::pair("b.html.tmp", "placeholder")})
                    ASSERT_TRUE(FileSystem::WriteFile(folder + name, text));
            }},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        NewFolder();
        row.stop();
        std::string why;
        std::optional<TakeUpPlan> plan
            = PlanTakeUp(m_engine.Job().outputDir, TakeUp::Continue, why);
        ASSERT_TRUE(plan) << why;
        m_completions = 0;
        StartTakeUp(m_engine, std::move(*plan));
        ASSERT_TRUE(QTest::qWaitFor([this] { return m_completions > 0; }));
        EXPECT_EQ(copy(), whole);
    }
}

TEST_F(EngineTest, WhatAPageEmbedsFromOtherHostsIsStoredBesideTheSite)
{
    m_engine.SetFileTypeFilterSource(
        [] { return FileTypeFilterOf(DefaultFileTypes()) + ":.woff2:"; });
    m_engine.SetConnectionCount(24);
    TestHttpServer &cdn = Serve("cdn.test");
    cdn.SetRoute("/s.css",
        Route::Page("@font-face{src:url(f.woff2)}p{background:url(/bg.png)}", "text/css"));
    std::string page = "<link rel=stylesheet href='http://cdn.test/s.css'>"
                       "<link href='//cdn.test/i.png' rel='shortcut icon'>"
                       "<a href='http://cdn.test/page.html'>p</a>"
                       "<link rel=canonical href='http://cdn.test/c.html'>";
    std::string stored = "<link rel=stylesheet href='../cdn.test/s.css'>"
                         "<link href='../cdn.test/i.png' rel='shortcut icon'>"
                         "<a href='http://cdn.test/page.html'>p</a>"
                         "<link rel=canonical href='http://cdn.test/c.html'>";
    // Slow images, so that more than the four connections a host may have would be in use.
    for (int i = 0; i < 10; ++i) {
        const std::string name = "p" + std::to_string(i) + ".gif";
        cdn.SetRoute("/" + name, Route::Page("GIF", "image/gif")).behaviours
            = {Behaviour::InPieces({8}, 30)};
        page += "<img src='http://cdn.test/" + name + "'>";
        stored += "<img src='../cdn.test/" + name + "'>";
    }
    for (const char *asset : {"/f.woff2", "/bg.png", "/i.png"})
        cdn.SetRoute(asset, Route::Page(asset, "image/png"));
    m_server.SetRoute("/", Route::Page(page));
    int mostToCdn = 0;
    QObject::connect(&m_engine, &Engine::slotStateChanged, &m_engine, [&] {
        int toCdn = 0;
        for (const auto &[slot, state] : m_state)
            toCdn += state != SlotState::NotConnected && state != SlotState::Finished
                && m_engine.Slot(slot).host == "cdn.test";
        mostToCdn = std::max(mostToCdn, toCdn);
    });

    for (const bool otherHosts : {true, false}) {
        SCOPED_TRACE(otherHosts);
        NewFolder();
        m_engine.Job().otherHosts = otherHosts;
        const std::size_t before = cdn.Requests().size();
        ASSERT_TRUE(Run(QStringLiteral("www.site.test/"), 20000));

        EXPECT_EQ(m_engine.Counters().aFailures, 0);
        if (!otherHosts) {
            EXPECT_EQ(cdn.Requests().size(), before);
            // A protocol-relative link to what is not fetched leads online.
            EXPECT_EQ(File("index.html"), Stored(ReplaceAll(page, "'//", "'http://")));
            continue;
        }
        EXPECT_EQ(File("index.html"), Stored(stored));
        const auto tree = Tree();
        const auto cdnFile = [&](const std::string &name) {
            const auto found = tree.find("cdn.test/" + name);
            return found == tree.end() ? std::string("(missing)") : found->second;
        };
        EXPECT_EQ(
            cdnFile("s.css"), Stored("@font-face{src:url(f.woff2)}p{background:url(bg.png)}"));
        EXPECT_EQ(cdnFile("f.woff2"), "/f.woff2");
        EXPECT_EQ(cdnFile("bg.png"), "/bg.png");
        EXPECT_EQ(cdnFile("p9.gif"), "GIF");
        EXPECT_EQ(cdn.RequestCount("/page.html") + cdn.RequestCount("/c.html"), 0U);
        EXPECT_EQ(mostToCdn, kMaxConnectionsPerOtherHost);
    }
}

TEST_F(EngineTest, NamesTheSystemCannotStoreAreShortenedAndLinkedTo)
{
    // A download folder so deep that a link of 300 bytes below it passes the path limit.
    QString deep = m_root.NativePath();
    while (deep.size() < 3800)
        deep += QLatin1Char('/')
            + QString(std::min<qsizetype>(250, 3800 - deep.size()), QLatin1Char('f'));
    ASSERT_TRUE(QDir().mkpath(deep));
    SetOutputDirectory(
        FileSystem::SystemPath(deep.toStdString()), m_engine.Job(), m_engine.Writes());
    const std::string longName = std::string(270, 'n') + ".html";
    const std::string deepLink = std::string(250, 'd') + "/" + std::string(40, 'e') + ".gif";
    m_server.SetRoute(
        "/", Route::Page("<a href='" + longName + "'>n</a><img src='" + deepLink + "'>"));
    m_server.SetRoute("/" + longName, Route::Page("long"));
    m_server.SetRoute("/" + deepLink, Route::Page("GIF89a", "image/gif"));

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    EXPECT_EQ(m_engine.Counters().aFailures, 0);
    const std::string index = File("index.html");
    std::vector<std::string> targets;
    for (auto at = index.find("='"); at != std::string::npos; at = index.find("='", at + 2))
        targets.push_back(index.substr(at + 2, index.find('\'', at + 2) - at - 2));
    ASSERT_EQ(targets.size(), 2U) << index;
    EXPECT_EQ(File(targets[0]), Stored("long"));
    EXPECT_EQ(File(targets[1]), "GIF89a");
    for (const std::string &target : targets) {
        EXPECT_NE(target.find('~'), std::string::npos) << target;
        EXPECT_LE(FileSystem::NativePath(m_engine.Job().outputDir + "site.test/" + target).size(),
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
    SetOutputDirectory(
        FileSystem::SystemPath(small.toStdString()), m_engine.Job(), m_engine.Writes());
    const std::string body(6000, 'z');
    std::string links;
    for (int i = 0; i < 30; ++i) {
        links += "<a href='f" + std::to_string(i) + ".zip'></a>";
        m_server.SetRoute("/f" + std::to_string(i) + ".zip", Route::Page(body));
    }
    m_server.SetRoute("/", Route::Page(links));
    std::map<QString, std::int64_t> reasons;
    QObject::connect(&m_engine, &Engine::fetchFailed, &m_engine,
        [&](const std::string &, const Failure &failure) { ++reasons[FailureText(failure)]; });

    ASSERT_TRUE(Run(QStringLiteral("www.site.test/")));

    // The start page could not queue all its links, nor could all the files it queued be stored.
    const QString full = QStringLiteral(": No space left on device");
    const std::int64_t notStored = reasons[QStringLiteral("not stored") + full];
    EXPECT_GT(notStored, 0);
    EXPECT_EQ(reasons,
        (std::map<QString, std::int64_t> {{QStringLiteral("links not all followed") + full, 1},
            {QStringLiteral("not stored") + full, notStored}}));
    EXPECT_EQ(m_engine.Counters().aFailures, 1 + notStored);
    std::int64_t whole = 0;
    for (const auto &[path, bytes] : test::ReadTree(small)) {
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
        if (path.ends_with(".zip")) {
            EXPECT_EQ(bytes, body) << path;
            ++whole;
        }
    }
    EXPECT_EQ(whole, m_engine.Counters().aFiles - 1);
}

} // namespace
} // namespace tw
