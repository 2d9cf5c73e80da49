// Whole jobs through the windows: started from the wizard as at program start or from the URL box,
// run against the test server, watched in the connection rows, and ended by the question or the
// message that says how the copy went.

#include "gui/windowtest.h"

#include "connections/engine.h"
#include "connections/tlssession.h"
#include "forms/connectionrow.h"
#include "output/outputdirectory.h"

#include "support/testcertificates.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>
#include <QUrl>

namespace tw::test {
namespace {

// Receives what the window hands to the file browser.
class FileBrowser : public QObject
{
    Q_OBJECT

public:
    FileBrowser() { QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "Open"); }
    ~FileBrowser() override { QDesktopServices::unsetUrlHandler(QStringLiteral("file")); }

    QList<QUrl> opened;

public Q_SLOTS:
    void Open(const QUrl &url) { opened.append(url); }
};

using DownloadTest = WindowTest;

TEST_F(DownloadTest, JobStartedFromTheWizardEndsWithTheCompletionQuestion)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html><a href=\"a.html\">a</a><img src=\"img/logo.gif\">"));
    server->SetRoute("/a.html", Route::Page("<html><a href=\"/\">home</a></html>"));
    server->SetRoute("/img/logo.gif", Route::Page("GIF89a", "image/gif"));
    FileBrowser browser;

    QString wizardName;
    ModalDriver driver;
    driver
        .Then([&](QWidget *wizard) {
            wizardName = wizard->objectName();
            Child<QLineEdit>(wizard, "txtURL")->setText(QStringLiteral("http://www.site.test/"));
            Child<QLineEdit>(wizard, "txtDir")->setText(output.NativePath() + "/m");
            Child<QListWidget>(wizard, "List2")->setCurrentRow(0); // 5 seconds
            ClickLater(wizard, "Command1");
        })
        .Answer(QMessageBox::Yes);
    window->show(); // the wizard opens once the window is active, as at program start
    ASSERT_TRUE(driver.WaitDone(10000));

    EXPECT_EQ(wizardName, QStringLiteral("frmNew"));
    EXPECT_FALSE(window->IsWizardPending());
    EXPECT_EQ(engine.Job().outputDir, output.Path() + "m\\");
    EXPECT_EQ(engine.TimeoutInterval(), 5000);
    EXPECT_EQ(driver.Seen().at(1).title, QStringLiteral("Done."));
    EXPECT_EQ(Text("Label3"), QStringLiteral("3 Files"));
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_TRUE(Child<QWidget>(window.get(), "Command1")->isEnabled());
    const auto files = ReadTree(output.NativePath() + "/m");
    EXPECT_TRUE(files.count("site.test/a.html"));
    EXPECT_EQ(files.at("site.test/img/logo.gif"), "GIF89a");
    // Yes opens the download folder in the file browser.
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_EQ(QDir(browser.opened[0].toLocalFile()), QDir(output.NativePath() + "/m"));
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(DownloadTest, TheEndSaysHowTheCopyWent)
{
    const TestAuthority authority;
    const QString failure
        = QStringLiteral("no complete response header: www.site.test/b\\x1B[2J.html");
    const QString browse
        = QStringLiteral("\r\n\r\nWould you like to browse the download directory?");
    const struct
    {
        const char *url;
        bool secure;
        bool trusted;
        QMessageBox::StandardButton answer;
        QString title, textEnd, status, files;
        QMessageBox::Icon icon;
    } rows[] = {
        {"www.site.test/", false, false, QMessageBox::No, QStringLiteral("Done."),
            QStringLiteral("The website has been downloaded, but 1 file failed:\r\n") + failure
                + browse,
            QStringLiteral("Website Downloaded! 1 file failed, the last: ") + failure,
            QStringLiteral("2 Files"), QMessageBox::Information},
        {"https://www.site.test/", true, true, QMessageBox::No, QStringLiteral("Done."),
            QStringLiteral("The website has been downloaded.") + browse,
            QStringLiteral("Website Downloaded!"), QStringLiteral("3 Files"),
            QMessageBox::Information},
        {"https://www.site.test/", true, false, QMessageBox::Ok, QStringLiteral("Not Downloaded"),
            QStringLiteral("https://www.site.test/\r\ncertificate not trusted"),
            QStringLiteral("Site not downloaded: certificate not trusted"),
            QStringLiteral("0 Files"), QMessageBox::Warning},
    };
    ShowQuietly();
    for (const auto &row : rows) {
        SCOPED_TRACE(row.title.toStdString() + " " + row.url);
        ASSERT_TRUE(SetTlsTrust(row.trusted ? TlsTrust {authority.Pem(), true} : TlsTrust {}));
        SetOutputDirectory(output.Path() + std::to_string(&row - rows), engine.Job());
        ServeSite();
        if (row.secure)
            server->UseTls(authority.Issue({"www.site.test"}));
        const char *scheme = row.secure ? "https" : "http";
        server->SetRoute("/",
            Route::Page(std::string("<a href='") + scheme
                + "://www.site.test/a.html'>a</a><a href='b\x1b[2J.html'>b</a>"));
        server->SetRoute("/a.html", Route::Page("a"));
        server->SetRoute(
            "/b\x1b[2J.html", Route::Raw(row.secure ? "HTTP/1.0 200 OK\r\n\r\nb" : ""));

        ModalDriver driver;
        driver.Answer(row.answer);
        StartJob(QString::fromLatin1(row.url));
        ASSERT_TRUE(driver.WaitDone(10000));
        const SeenModal &seen = driver.Seen().at(0);
        EXPECT_EQ(seen.title, row.title);
        EXPECT_TRUE(seen.text.endsWith(row.textEnd)) << seen.text.toStdString();
        EXPECT_EQ(seen.icon, row.icon);
        EXPECT_EQ(Text("Label6"), row.status);
        EXPECT_EQ(Text("Label3"), row.files);
        EXPECT_EQ(Child<QLineEdit>(window.get(), "Text1")->text(), QString::fromLatin1(row.url));
        EXPECT_FALSE(engine.IsRunning());
        EXPECT_TRUE(driver.Unexpected().empty());
    }
    EXPECT_EQ(Row("l", 1)->text(), QStringLiteral("certificate not trusted"));
    SetTlsTrust({});
}

TEST_F(DownloadTest, RowShowsConnectingThenDownloadingWithSizeAndPercentage)
{
    ServeSite();
    server->SetRoute("/", Route::Page(std::string(20000, 'x'))).behaviours
        = {Behaviour::InPieces({2000}, 40)};
    ShowQuietly();

    ModalDriver driver;
    driver.Answer(QMessageBox::No);
    StartJob();
    EXPECT_EQ(Row("l", 1)->text(), QStringLiteral("Connecting to www.site.test"));
    EXPECT_EQ(Text("Label6"), QStringLiteral("Downloading Site [www.site.test/]"));

    QString size;
    int percent = -1;
    ASSERT_TRUE(QTest::qWaitFor([&] {
        percent = Row("k2", 1)->text().chopped(1).toInt();
        size = Row("k", 1)->text();
        return Row("l", 1)->text() == QStringLiteral("Downloading www.site.test/") && percent > 0
            && percent < 100;
    }));
    EXPECT_EQ(size, FormatByteSize(20000));
    EXPECT_TRUE(Row("k2", 1)->text().endsWith(u'%'));

    ASSERT_TRUE(driver.WaitDone(10000));
    EXPECT_EQ(Text("Label6"), QStringLiteral("Website Downloaded!"));
    // A completed job leaves the pause item available.
    EXPECT_TRUE(Child<QAction>(window.get(), "mnupause")->isEnabled());
}

} // namespace
} // namespace tw::test

#include "tst_download.moc"
