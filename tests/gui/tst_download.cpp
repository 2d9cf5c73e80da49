// Whole jobs through the windows: started from the wizard as at program start, run against the
// test server, watched in the connection rows, and ended by the completion question.

#include "gui/windowtest.h"

#include "connections/engine.h"
#include "connections/tlssession.h"

#include "support/testcertificates.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
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
    server->SetRoute("/",
        Route::Page("<html><a href=\"a.html\">a</a>"
                    "<img src=\"img/logo.gif\"></html>"));
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
    const SeenModal &done = driver.Seen().at(1);
    EXPECT_EQ(done.title, QStringLiteral("Done."));
    EXPECT_EQ(done.text,
        QStringLiteral("The website has been downloaded.\r\n\r\n"
                       "Would you like to browse the download directory?"));
    EXPECT_EQ(done.icon, QMessageBox::Information);
    EXPECT_EQ(done.buttons, QMessageBox::Yes | QMessageBox::No);

    EXPECT_EQ(Text("Label6"), QStringLiteral("Website Downloaded!"));
    EXPECT_EQ(Text("Label3"), QStringLiteral("3 Files"));
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_TRUE(Child<QWidget>(window.get(), "Command1")->isEnabled());
    EXPECT_EQ(server->RequestCount("/a.html"), 1u);
    EXPECT_EQ(server->RequestCount("/img/logo.gif"), 1u);
    const auto files = ReadTree(output.NativePath() + "/m");
    EXPECT_TRUE(files.count("site.test/a.html"));
    EXPECT_EQ(files.at("site.test/img/logo.gif"), "GIF89a");
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_EQ(QDir(browser.opened[0].toLocalFile()), QDir(output.NativePath() + "/m"));
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(DownloadTest, RowShowsConnectingThenDownloadingWithSizeAndPercentage)
{
    ServeSite();
    Route page = Route::Page(std::string(20000, 'x'));
    page.behaviours = {Behaviour::InPieces({2000}, 40).WithLatency(300)};
    server->SetRoute("/", page);
    ShowQuietly();

    ModalDriver driver;
    driver.Answer(QMessageBox::No);
    StartJob();
    EXPECT_EQ(Row("l", 1)->text(), QStringLiteral("Connecting to www.site.test"));
    EXPECT_EQ(Text("Label6"), QStringLiteral("Downloading Site [www.site.test/]"));

    QString size;
    int percent = -1;
    ASSERT_TRUE(WaitUntil(
        [&] {
            const QString shown = Row("k2", 1)->text();
            percent = shown.chopped(1).toInt();
            size = Row("k", 1)->text();
            return Row("l", 1)->text() == QStringLiteral("Downloading www.site.test/")
                && percent > 0 && percent < 100;
        },
        5000));
    EXPECT_EQ(size, FormatByteSize(20000));
    EXPECT_TRUE(Row("k2", 1)->text().endsWith(u'%'));

    ASSERT_TRUE(driver.WaitDone(10000));
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Done."));
    EXPECT_EQ(Text("Label6"), QStringLiteral("Website Downloaded!"));
    // A completed job leaves the pause item available.
    EXPECT_TRUE(Child<QAction>(window.get(), "mnupause")->isEnabled());
}

TEST_F(DownloadTest, FilesThatFailAreShownAndCountedAndTheEndSaysSo)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<a href='a.html'>a</a><a href='b\x1b[2J.html'>b</a>"));
    server->SetRoute("/a.html", Route::Page("a"));
    server->SetRoute("/b\x1b[2J.html", Route::Raw(""));
    ShowQuietly();

    ModalDriver done;
    done.Answer(QMessageBox::No);
    StartJob();
    ASSERT_TRUE(done.WaitDone(10000));
    const QString failure
        = QStringLiteral("no complete response header: www.site.test/b\\x1B[2J.html");
    EXPECT_EQ(
        Text("Label6"), QStringLiteral("Website Downloaded! 1 file failed, the last: ") + failure);
    EXPECT_EQ(done.Seen().at(0).text,
        QStringLiteral("The website has been downloaded, but 1 file failed:\r\n") + failure
            + QStringLiteral("\r\n\r\nWould you like to browse the download directory?"));
    EXPECT_EQ(Text("Label3"), QStringLiteral("2 Files")) << "the start page and a.html";
}

TEST_F(DownloadTest, ASecureSiteIsCopiedAndAFailedStartPageIsNotReportedAsDone)
{
    const TestAuthority authority;
    ASSERT_TRUE(SetTlsTrust({authority.Pem(), true}));
    ServeSite();
    server->UseTls(authority.Issue({"www.site.test"}));
    server->SetRoute("/", Route::Page("<a href='https://www.site.test/a.html'>a</a>"));
    server->SetRoute("/a.html", Route::Page("a"));
    ShowQuietly();

    {
        ModalDriver done;
        done.Answer(QMessageBox::No);
        StartJob(QStringLiteral("https://www.site.test/"));
        ASSERT_TRUE(done.WaitDone(10000));
        EXPECT_EQ(done.Seen().at(0).title, QStringLiteral("Done."));
        EXPECT_EQ(Child<QLineEdit>(window.get(), "Text1")->text(),
            QStringLiteral("https://www.site.test/"));
        EXPECT_EQ(ReadTree(output.NativePath()).count("site.test/a.html"), 1U);
    }

    ASSERT_TRUE(SetTlsTrust({}));
    ModalDriver failed;
    failed.Answer(QMessageBox::Ok);
    StartJob(QStringLiteral("https://www.site.test/"));
    ASSERT_TRUE(failed.WaitDone(10000));
    const SeenModal &message = failed.Seen().at(0);
    EXPECT_EQ(message.title, QStringLiteral("Not Downloaded"));
    EXPECT_EQ(message.icon, QMessageBox::Warning);
    EXPECT_TRUE(
        message.text.endsWith(QStringLiteral("https://www.site.test/\r\ncertificate not trusted")))
        << message.text.toStdString();
    EXPECT_EQ(Text("Label6"), QStringLiteral("Site not downloaded: certificate not trusted"));
    EXPECT_EQ(Row("l", 1)->text(), QStringLiteral("certificate not trusted"));
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_TRUE(failed.Unexpected().empty());
}

} // namespace
} // namespace tw::test

#include "tst_download.moc"
