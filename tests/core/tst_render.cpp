// Pages that scripts draw: which pages are taken for shells, and a copy of the site in tests/site
// (its text and links fetched as JSON by its script, history routes and one hash route) drawn by
// the renderer program.

#include "enginetest.h"
#include "render/hashroutes.h"
#include "render/renderers.h"
#include "render/shellpage.h"

#include <QFile>

namespace tw {

namespace {

TEST(ShellPage, APageIsAShellWhenItsScriptsMustDrawWhatItShows)
{
    const std::string text(300, 'w');
    const std::pair<std::string, bool> rows[] = {
        {"<div id=\"app\"></div><script src=\"app.js\"></script>", true},
        {"<body><div id='root'>Loading...</div><script>go()</script></body>", true},
        {"<nav>" + text + "</nav><div id=app>\n</div><script src=x.js></script>", true},
        {"<p>Short page</p><script>track()</script>", true},
        {"<p>" + text + "</p><script src=x.js></script>", false},
        {"<div id=\"app\"><p>" + text + "</p></div><script src=x.js></script>", false},
        {"<p>Short page, no script</p>", false},
        {"<!-- <script> --><p>Short page</p>", false},
        {"<script>var t = '" + text + "';</script><style>p{}</style>", true},
        {"<div id=\"application\"></div><p>" + text + "</p><script></script>", false},
    };
    for (const auto &[html, shell] : rows)
        EXPECT_EQ(IsShellPage(html), shell) << html;
}

TEST(ShellPage, ADrawingIsKeptWhenItAddsTextOrLinks)
{
    const std::string shell = "<div id=app>Loading...</div><script src=app.js></script>";
    const std::tuple<std::string, std::string, bool> rows[] = {
        {shell, "<div id=app><h1>Notes</h1><p>Tides rise twice a day.</p></div>", true},
        {shell, "<div id=app><a href=/x>x</a></div>", true},
        {shell, "<div id=app></div>", false},
        {"<p>Same text</p>", "<p>Same text</p>", false},
    };
    for (const auto &[served, drawn, adds] : rows)
        EXPECT_EQ(DrawingAddsContent(served, drawn), adds) << drawn;
}

TEST(HashRoutes, LinksToRoutesOfAPageAreWrittenAsPathsThatStandForThem)
{
    const std::pair<std::string, std::string> rows[] = {
        {"<a href=\"http://h.test/#/guide/a\">", "<a href=\"http://h.test/_route/guide/a\">"},
        {"<a href=\"http://h.test/docs/index.html#!/a?id=b\">",
            "<a href=\"http://h.test/docs/_route/a\">"},
        {"<a href=\"http://h.test/#/\">", "<a href=\"http://h.test/\">"},
        {"<a href=\"http://h.test#/a\">", "<a href=\"http://h.test/_route/a\">"},
        {"<a href=\"http://h.test/#part\">", "<a href=\"http://h.test/#part\">"},
        {"<a href=\"http://h.test/page.html#/a\">", "<a href=\"http://h.test/page.html#/a\">"},
        {"<a href=\"http://other.test/#/a\">", "<a href=\"http://other.test/#/a\">"},
    };
    for (const auto &[drawn, stored] : rows)
        EXPECT_EQ(WithRoutesAsPaths(drawn, "http://h.test"), stored) << drawn;
    EXPECT_EQ(PathAskedFor("/docs/_route/guide/a"), "/docs/");
    EXPECT_EQ(RouteOfPath("/docs/_route/guide/a")->route, "/guide/a");
    EXPECT_EQ(PathAskedFor("/docs/guide/a"), "/docs/guide/a");
}

std::string SiteFile(const std::string &path)
{
    QFile file(QStringLiteral(TIDEWELL_TEST_SITE) + QString::fromStdString(path));
    return file.open(QIODevice::ReadOnly) ? file.readAll().toStdString() : std::string();
}

class RenderTest : public EngineTest
{
protected:
    void SetUp() override
    {
        EngineTest::SetUp();
        // The site's history routes are answered with its shell, as a single-page site's
        // server does.
        m_server.SetFallback([](const std::string &path) {
            const std::string name = path.substr(0, path.find('?'));
            const bool route
                = name.rfind('.') == std::string::npos || name.rfind('.') < name.rfind('/');
            const std::string file = route ? "/index.html" : name;
            const std::string body = SiteFile(file);
            if (body.empty())
                return Route::Status(404);
            return Route::Page(body, MediaTypeOf(file));
        });
        QObject::connect(&m_engine, &Engine::fetchStored, &m_engine,
            [this](const std::string &url, const StoredFetch &fetch) {
                m_rendering[url.substr(url.find('/'))] = fetch.rendering;
            });
        m_engine.SetRendererProgram(QStringLiteral(TIDEWELL_RENDER_PATH));
        // The renderer's first start takes a while; a page that never settles ends with it.
        m_engine.SetTimeoutInterval(4000);
    }

    static std::string MediaTypeOf(const std::string &file)
    {
        const std::pair<const char *, const char *> types[] = {{".js", "text/javascript"},
            {".json", "application/json"}, {".css", "text/css"}, {".svg", "image/svg+xml"}};
        for (const auto &[extension, type] : types)
            if (file.ends_with(extension))
                return type;
        return "text/html";
    }

    std::string Copied(const std::string &file) const
    {
        return test::ReadFileBytes(
            m_engine.Job().outputDir + "127.0.0.1+" + std::to_string(m_server.Port()) + "/" + file);
    }

    std::map<std::string, std::string> m_rendering;
};

TEST_F(RenderTest, PagesThatScriptsDrawAreStoredAsDrawnAndTheirRoutesFollowed)
{
    const QString start = QStringLiteral("http://127.0.0.1:%1/").arg(m_server.Port());
    m_engine.Job().render = JobSettings::Render::Never;
    ASSERT_TRUE(Run(start, 60000));
    const std::string servedStatic = Copied("static.html");
    const std::string servedIndex = Copied("index.html");
    NewFolder();
    m_engine.Job().render = JobSettings::Render::Auto;
    ASSERT_TRUE(Run(start, 60000));

    struct Row
    {
        std::string url, file, rendering, holds;
    };
    const Row rows[] = {
        {"/", "index.html", "rendered", "<h1>Welcome to the tide notes</h1>"},
        {"/", "index.html", "rendered", "<a href=\"guide/install.html\">Installing"},
        {"/", "index.html", "rendered", "<a href=\"_route/about.html\">About</a>"},
        {"/_route/about", "_route/about.html", "rendered", "<h1>About these notes</h1>"},
        {"/_route/about", "_route/about.html", "rendered", "<a href=\"../guide/use.html\">"},
        {"/", "index.html", "rendered", "<link rel=\"stylesheet\" href=\"drawn.css\">"},
        {"/guide/install", "guide/install.html", "rendered", "<img src=\"../img/well.svg\""},
        {"/guide/use", "guide/use.html", "rendered", "<h1>Reading the gauge</h1>"},
        {"/static.html", "static.html", "", servedStatic},
        {"/restless.html", "restless.html", "did not settle in time", "setInterval("},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(m_rendering[row.url], row.rendering) << row.url;
        const std::string copied = Copied(row.file);
        EXPECT_NE(copied.find(row.holds), std::string::npos) << row.file << ": " << copied;
        const bool drawn = row.rendering == "rendered";
        EXPECT_EQ(copied.find("<script") == std::string::npos, drawn) << row.file;
    }
    for (const char *part : {"drawn.css", "img/well.svg", "site.css"})
        EXPECT_FALSE(Copied(part).empty()) << part;
    EXPECT_NE(servedIndex.find("<script src=\"app.js\">"), std::string::npos);
}

} // namespace

} // namespace tw
