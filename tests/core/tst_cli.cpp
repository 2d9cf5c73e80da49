#include "app/clirunner.h"
#include "connections/connection.h"
#include "output/filesystem.h"

#include "support/mirrortree.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;

class CliTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_server.Listen());
        m_server.SetRoute("/",
            Route::Page("<a href='a.html'>a</a><a href='img/b.gif'>b</a><a href='c.zip'>c</a>"));
        m_server.SetRoute("/a.html", Route::Page("<a href='index.html'>home</a>"));
        m_server.SetRoute("/img/b.gif", Route::Page(std::string("GIF89a\0\r\n", 9), "image/gif"));
        m_server.SetRoute("/c.zip", Route::Page("zip"));
    }

    void TearDown() override { Connection::ClearConnectTo(); }

    QStringList Arguments(const QStringList &extra) const
    {
        return QStringList {QStringLiteral("tidewell-cli"), QStringLiteral("-o"), Output(),
                   QStringLiteral("--connect-to"),
                   QStringLiteral("www.site.test:127.0.0.1:%1").arg(m_server.Port())}
        + extra;
    }

    int Run(const QStringList &arguments)
    {
        QTextStream out(&m_out);
        QTextStream err(&m_err);
        return RunCli(arguments, out, err);
    }

    QString Output() const { return m_root.NativePath() + QStringLiteral("/out"); }

    test::TempDir m_root;
    test::TestHttpServer m_server;
    QString m_out, m_err;
};

TEST_F(CliTest, RefusesBadArgumentsWithAMessage)
{
    const QStringList bad[] = {
        {QStringLiteral("tidewell-cli")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("-c"), QStringLiteral("25"),
            QStringLiteral("x.com")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("-c"), QStringLiteral("two"),
            QStringLiteral("x.com")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("-t"), QStringLiteral("0"),
            QStringLiteral("x.com")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("https://x.com/")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("--types"), QStringLiteral(","),
            QStringLiteral("x.com")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("--connect-to"), QStringLiteral("x.com:80"),
            QStringLiteral("x.com")},
        {QStringLiteral("tidewell-cli"), QStringLiteral("--no-such-option"),
            QStringLiteral("x.com")},
    };
    for (const QStringList &arguments : bad) {
        m_err.clear();
        EXPECT_EQ(Run(arguments), CliBadArguments)
            << arguments.join(QLatin1Char(' ')).toStdString();
        EXPECT_TRUE(m_err.startsWith(QStringLiteral("tidewell-cli: "))) << m_err.toStdString();
    }
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(CliTest, RefusesAFolderItCannotWriteTo)
{
    QStringList arguments {QStringLiteral("tidewell-cli"), QStringLiteral("-o"),
        QStringLiteral("/proc/tidewell"), QStringLiteral("www.site.test")};
    EXPECT_EQ(Run(arguments), CliUnusableDirectory);
    EXPECT_TRUE(m_err.contains(QStringLiteral("/proc/tidewell")));
}

TEST_F(CliTest, MirrorsTheSiteWithTheChosenTypes)
{
    EXPECT_EQ(
        Run(Arguments({QStringLiteral("--types"), QStringLiteral("html, GIF"), QStringLiteral("-c"),
            QStringLiteral("24"), QStringLiteral("http://www.site.test/")})),
        CliCompleted);
    const auto tree = test::ReadTree(Output());
    std::vector<std::string> files;
    for (const auto &[path, bytes] : tree)
        files.push_back(path);
    EXPECT_EQ(files,
        (std::vector<std::string> {
            "log.txt", "site.test/a.html", "site.test/img/b.gif", "site.test/index.html"}));
    EXPECT_EQ(tree.at("site.test/img/b.gif"), std::string("GIF89a\0\r\n", 9));
    EXPECT_TRUE(m_out.contains(QStringLiteral("Done: 3 files")));
    EXPECT_TRUE(m_out.contains(QStringLiteral("0 failures")));
}

TEST_F(CliTest, InterruptStopsLikeAUserStop)
{
    m_server.SetRoute("/a.html", [] {
        Route route = Route::Page("x");
        route.behaviours = {Behaviour::Stall(0)};
        return route;
    }());
    QTimer::singleShot(300, [] { RequestCliStop(); });
    EXPECT_EQ(Run(Arguments({QStringLiteral("www.site.test")})), CliInterrupted);
    EXPECT_TRUE(m_out.contains(QStringLiteral("Stopped: ")));
    for (const auto &[path, bytes] : test::ReadTree(Output()))
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
}

TEST_F(CliTest, TheProgramItselfMirrorsAndExitsZero)
{
    QProcess process;
    process.start(QStringLiteral(TIDEWELL_CLI_PATH),
        Arguments({QStringLiteral("-q"), QStringLiteral("--types"),
                      QStringLiteral(".html,.gif,.zip"), QStringLiteral("www.site.test")})
            .mid(1));
    ASSERT_TRUE(test::WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    EXPECT_EQ(test::ReadTree(Output()).size(), 5u);
}

} // namespace
} // namespace tw
