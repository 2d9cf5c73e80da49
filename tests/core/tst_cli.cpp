#include "app/clirunner.h"
#include "connections/connection.h"
#include "output/filesystem.h"

#include "connections/tlssession.h"

#include "support/testcertificates.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"

#include <QProcess>
#include <QTimer>

#include <gtest/gtest.h>

namespace tw {
namespace {

using test::Behaviour;
using test::Route;

QStringList Words(const char *text)
{
    return QString::fromLatin1(text).split(u' ', Qt::SkipEmptyParts);
}

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

    void TearDown() override
    {
        Connection::ClearConnectTo();
        SetTlsTrust({});
    }

    QStringList Arguments(const QStringList &extra) const
    {
        return QStringList {QStringLiteral("tidewell-cli"), QStringLiteral("-o"), Output(),
                   // The bare host also maps the "www." form the copier asks for.
                   QStringLiteral("--connect-to"),
                   QStringLiteral("site.test:127.0.0.1:%1").arg(m_server.Port())}
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

TEST_F(CliTest, RefusesBadArgumentsAndUnwritableFoldersWithAMessage)
{
    const std::pair<const char *, int> cases[] = {
        {"", CliBadArguments},
        {"-c 25 x.com", CliBadArguments},
        {"-c two x.com", CliBadArguments},
        {"-t 0 x.com", CliBadArguments},
        {"ftp://x.com/", CliBadArguments},
        {"https://", CliBadArguments},
        {"--ca-certificate /no/such/file x.com", CliBadArguments},
        {"--ca-certificate /etc/hostname x.com", CliBadArguments},
        {"--types , x.com", CliBadArguments},
        {"--connect-to x.com:80 x.com", CliBadArguments},
        {"--no-such-option x.com", CliBadArguments},
        {"--max-memory 1000 x.com", CliBadArguments},
        {"--rate -1 x.com", CliBadArguments},
        {"--rate fast x.com", CliBadArguments},
        {"--max-memory lots x.com", CliBadArguments},
        {"--max-memory 99999999999G x.com", CliBadArguments},
        {"-o /proc/tidewell www.site.test", CliUnusableDirectory},
    };
    for (const auto &[arguments, code] : cases) {
        m_err.clear();
        EXPECT_EQ(Run(QStringList {QStringLiteral("tidewell-cli")} + Words(arguments)), code)
            << arguments;
        EXPECT_TRUE(m_err.startsWith(QStringLiteral("tidewell-cli: "))) << m_err.toStdString();
    }
    EXPECT_TRUE(m_err.contains(QStringLiteral("/proc/tidewell")));
    EXPECT_TRUE(m_server.Requests().empty());
}

TEST_F(CliTest, MirrorsTheSiteWithTheChosenTypes)
{
    EXPECT_EQ(
        Run(Arguments({QStringLiteral("--types"), QStringLiteral("html, GIF"), QStringLiteral("-c"),
            QStringLiteral("24"), QStringLiteral("http://www.site.test/")})),
        CliCompleted);
    const auto tree = test::ReadTree(Output());
    EXPECT_EQ(tree.size(), 4u); // log.txt, index.html, a.html and the image
    EXPECT_TRUE(tree.count("site.test/a.html") && tree.count("site.test/index.html"));
    EXPECT_EQ(tree.at("site.test/img/b.gif"), std::string("GIF89a\0\r\n", 9));
    EXPECT_TRUE(m_out.contains(QStringLiteral("Done: 3 files")));
    EXPECT_TRUE(m_out.contains(QStringLiteral("0 failures")));
}

TEST_F(CliTest, ACopyWithFailuresSaysSoAndExitsFive)
{
    m_server.SetRoute("/",
        Route::Page("<a href='a.html'>a</a><a href='c.zip'>c</a>"
                    "<a href='bad\x1b[1m\x07.zip'>d</a>"));
    m_server.SetRoute("/c.zip", Route::Raw("HTTP/1.0 200 OK\r\nContent-Length: 9\r\n\r\nzi"));
    m_server.SetRoute("/bad\x1b[1m\x07.zip", Route::Raw(""));
    EXPECT_EQ(Run(Arguments(Words("-t 1 --max-memory 1M --types .html,.zip www.site.test"))),
        CliIncomplete);
    EXPECT_TRUE(m_out.contains(QStringLiteral("Done: 2 files")));
    EXPECT_TRUE(m_out.contains(QStringLiteral("2 failures")));
    EXPECT_TRUE(m_err.contains(QStringLiteral("incomplete: 2 of 9 bytes: www.site.test/c.zip\n")));
    EXPECT_TRUE(m_err.contains(
        QStringLiteral("no complete response header: www.site.test/bad\\x1B[1m\\x07.zip\n")));
    EXPECT_FALSE(m_err.contains(QChar(0x1b)));
    EXPECT_TRUE(m_err.endsWith(QStringLiteral("tidewell-cli: 2 files were not stored whole\n")));
}

TEST_F(CliTest, SecureSitesAreCheckedAgainstTheCertificatesTrusted)
{
    const test::TestAuthority authority;
    const std::string caFile = m_root.Path() + "ca.pem";
    ASSERT_TRUE(FileSystem::WriteFile(caFile, authority.Pem()));
    const QString caPath = QString::fromStdString(FileSystem::NativePath(caFile));
    test::TestHttpServer secure;
    secure.UseTls(authority.Issue({"www.site.test"}));
    ASSERT_TRUE(secure.Listen());
    secure.SetRoute("/", Route::Page("<a href='https://www.site.test/a.html'>a</a>"));
    secure.SetRoute("/a.html", Route::Page("a"));
    const QString connectTo = QStringLiteral("site.test:127.0.0.1:%1").arg(secure.Port());
    const QString warning = QStringLiteral("warning: certificates are not checked");

    const struct
    {
        QStringList options;
        int code;
        QString said; // on stderr
    } cases[] = {
        {{QStringLiteral("--ca-certificate"), caPath}, CliCompleted, {}},
        {{}, CliSiteFailed,
            QStringLiteral(
                "tidewell-cli: could not copy https://www.site.test/: certificate not trusted\n")},
        {{QStringLiteral("--no-check-certificate")}, CliCompleted, warning},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.options.join(u' ').toStdString());
        m_err.clear();
        const QString output = Output() + QString::number(&c - cases);
        const QStringList arguments
            = QStringList {QStringLiteral("tidewell-cli"), QStringLiteral("-o"), output,
                  QStringLiteral("--connect-to"), connectTo}
            + c.options + QStringList {QStringLiteral("https://www.site.test/")};
        EXPECT_EQ(Run(arguments), c.code) << m_err.toStdString();
        EXPECT_EQ(m_err.count(warning), c.said == warning ? 1 : 0);
        if (c.code == CliCompleted)
            EXPECT_EQ(test::ReadTree(output).count("site.test/a.html"), 1U);
        else
            EXPECT_TRUE(m_err.endsWith(c.said)) << m_err.toStdString();
    }
}

TEST_F(CliTest, InterruptStopsLikeAUserStop)
{
    m_server.SetRoute("/a.html", Route::Page("x")).behaviours = {Behaviour::Stall(0)};
    QTimer::singleShot(300, [] { RequestCliStop(); });
    EXPECT_EQ(Run(Arguments({QStringLiteral("www.site.test")})), CliInterrupted);
    EXPECT_TRUE(m_out.contains(QStringLiteral("Stopped: ")));
    for (const auto &[path, bytes] : test::ReadTree(Output()))
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
}

TEST_F(CliTest, TheProgramItselfStopsOnATerminateAsOnAnInterrupt)
{
    m_server.SetRoute("/a.html", Route::Page("x")).behaviours = {Behaviour::Stall(0)};
    QProcess process;
    process.start(QStringLiteral(TIDEWELL_CLI_PATH), Arguments(Words("-q www.site.test")).mid(1));
    ASSERT_TRUE(m_server.WaitForRequest("/a.html", 10000));
    process.terminate();
    ASSERT_TRUE(test::WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 10000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), CliInterrupted);
    for (const auto &[path, bytes] : test::ReadTree(Output()))
        EXPECT_FALSE(path.ends_with(".tmp")) << path;
}

TEST_F(CliTest, TheProgramItselfMirrorsAndExitsZero)
{
    QProcess process;
    process.start(QStringLiteral(TIDEWELL_CLI_PATH),
        Arguments(Words("-q --types .html,.gif,.zip www.site.test")).mid(1));
    ASSERT_TRUE(test::WaitUntil([&] { return process.state() == QProcess::NotRunning; }, 20000));
    EXPECT_EQ(process.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(process.exitCode(), 0) << process.readAllStandardError().toStdString();
    EXPECT_TRUE(process.readAllStandardOutput().isEmpty());
    EXPECT_EQ(test::ReadTree(Output()).size(), 5u);
}

} // namespace
} // namespace tw
