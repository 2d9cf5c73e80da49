// Whole jobs through the windows: started from the wizard as at program start or from the URL box,
// watched in the connection rows, and ended by the question or the message that says how the copy
// went.

#include "gui/windowtest.h"

#include "forms/connectionrow.h"
#include "output/outputdirectory.h"
#include "report/progresstext.h"
#include "support/testcertificates.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
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

const QString kBrowse = QStringLiteral("\r\n\r\nWould you like to browse the download directory?");

TEST_F(DownloadTest, JobStartedFromTheWizardEndsWithTheCompletionQuestion)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<a href=\"a.html\">a</a><img src=\"img/logo.gif\">"));
    server->SetRoute("/a.html", Route::Page("a"));
    server->SetRoute("/img/logo.gif", Route::Page("GIF89a", "image/gif"));
    FileBrowser browser;

    ModalDriver driver;
    driver
        .Then([&](QWidget *wizard) {
            Child<QLineEdit>(wizard, "txtURL")->setText(QStringLiteral("http://www.site.test/"));
            Child<QLineEdit>(wizard, "txtDir")->setText(output.NativePath() + QStringLiteral("/m"));
            Child<QListWidget>(wizard, "List2")->setCurrentRow(0); // 5 seconds
            ClickLater(wizard, "Command1");
        })
        .Answer(QMessageBox::Yes);
    window->show(); // the wizard opens once the window is active, as at program start
    ASSERT_TRUE(driver.WaitDone(10000));

    EXPECT_EQ(driver.Seen().at(0).objectName, QStringLiteral("frmNew"));
    EXPECT_FALSE(window->IsWizardPending());
    EXPECT_EQ(engine.Job().outputDir, output.Path() + "m/");
    EXPECT_EQ(engine.TimeoutInterval(), 5000);
    EXPECT_EQ(
        driver.Seen().at(1).text, QStringLiteral("The website has been downloaded.") + kBrowse);
    EXPECT_EQ(Text("Label6"), QStringLiteral("Website Downloaded!"));
    EXPECT_TRUE(Child(window.get(), "Command1")->isEnabled());
    EXPECT_EQ(ReadTree(output.NativePath() + QStringLiteral("/m")).at("site.test/img/logo.gif"),
        "GIF89a");
    // Yes opens the download folder in the file browser.
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_EQ(
        QDir(browser.opened[0].toLocalFile()), QDir(output.NativePath() + QStringLiteral("/m")));
}

TEST_F(DownloadTest, TheEndSaysWhatFailed)
{
    const QString failure
        = QStringLiteral("no complete response header: www.site.test/b\\x1B[2J.html");
    const struct
    {
        const char *url;
        QMessageBox::StandardButton answer;
        QString title, text, status, files;
        QMessageBox::Icon icon;
    } rows[] = {
        {"www.site.test/", QMessageBox::No, QStringLiteral("Done."),
            QStringLiteral("The website has been downloaded, but 1 file failed:\r\n") + failure
                + kBrowse,
            QStringLiteral("Website Downloaded! 1 file failed, the last: ") + failure,
            QStringLiteral("2 Files"), QMessageBox::Information},
        {"https://www.site.test/", QMessageBox::Ok, QStringLiteral("Not Downloaded"),
            QStringLiteral("The website could not be downloaded:\r\n\r\nhttps://www.site.test/\r\n"
                           "certificate not trusted"),
            QStringLiteral("Site not downloaded: certificate not trusted"),
            QStringLiteral("0 Files"), QMessageBox::Warning},
    };
    ShowQuietly();
    ServeSite();
    server->SetRoute("/", Route::Page("<a href='a.html'>a</a><a href='b\x1b[2J.html'>b</a>"));
    server->SetRoute("/a.html", Route::Page("a"));
    server->SetRoute("/b\x1b[2J.html", Route::Raw(""));
    for (const auto &row : rows) {
        SCOPED_TRACE(row.url);
        SetOutputDirectory(
            output.Path() + std::to_string(&row - rows), engine.Job(), engine.Writes());
        if (row.url[0] == 'h')
            server->UseTls(TestAuthority().Issue({"www.site.test"}));
        ModalDriver driver;
        driver.Answer(row.answer);
        window->StartJob(QString::fromLatin1(row.url));
        ASSERT_TRUE(driver.WaitDone(10000));
        const SeenModal &seen = driver.Seen().at(0);
        EXPECT_EQ(seen.title, row.title);
        EXPECT_EQ(seen.text, row.text);
        EXPECT_EQ(seen.icon, row.icon);
        EXPECT_EQ(Text("Label6"), row.status);
        EXPECT_EQ(Text("Label3"), row.files);
        EXPECT_FALSE(engine.IsRunning());
        EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    }
    EXPECT_EQ(Row("l", 1)->text(), QStringLiteral("certificate not trusted"));
}

TEST_F(DownloadTest, RowShowsConnectingThenDownloadingWithSizeAndPercentage)
{
    ServeSite();
    server->SetRoute("/", Route::Page(std::string(20000, 'x'))).behaviours
        = {Behaviour::InPieces({2000}, 40)};
    ShowQuietly();

    ModalDriver driver;
    driver.Answer(QMessageBox::No);
    window->StartJob(QStringLiteral("http://www.site.test/"));
    EXPECT_EQ(Row("l", 1)->text(), QStringLiteral("Connecting to www.site.test"));
    EXPECT_EQ(Text("Label6"), QStringLiteral("Downloading Site [www.site.test/]"));
    ASSERT_TRUE(QTest::qWaitFor([&] {
        const int percent = Row("k2", 1)->text().chopped(1).toInt();
        return Row("l", 1)->text() == QStringLiteral("Downloading www.site.test/") && percent > 0
            && percent < 100;
    }));
    EXPECT_EQ(Row("k", 1)->text(), FormatByteSize(20000));
    ASSERT_TRUE(driver.WaitDone(10000));
    // A completed job leaves nothing to pause.
    EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
}

} // namespace
} // namespace tw::test

#include "tst_download.moc"
