// Whole jobs through the windows: started from the wizard as at program start, run against the
// test server, watched in the connection rows, and ended by the completion question.

#include "gui/windowtest.h"

#include "connections/engine.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QLineEdit>
#include <QUrl>

namespace tw::test {
namespace {

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

QStringList FilesBelow(const QString &root)
{
    QStringList files;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        files.append(QDir(root).relativeFilePath(it.next()));
    files.sort();
    return files;
}

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
            Child<QLineEdit>(wizard, "txtDir")->setText(output.NativePath());
            ClickLater(wizard, "Command1");
        })
        .Answer(QMessageBox::Yes);
    window->show(); // the wizard opens once the window is active, as at program start
    ASSERT_TRUE(driver.WaitDone(10000));

    EXPECT_EQ(wizardName, QStringLiteral("frmNew"));
    EXPECT_FALSE(window->wizardPending);
    const SeenModal &done = driver.Seen().at(1);
    EXPECT_EQ(done.title, QStringLiteral("Done."));
    EXPECT_EQ(done.text,
        QStringLiteral("The website has been downloaded.\r\n\r\n"
                       "Would you like to browse the download directory?"));
    EXPECT_EQ(done.icon, QMessageBox::Information);
    EXPECT_EQ(done.buttons, QMessageBox::Yes | QMessageBox::No);

    EXPECT_EQ(Child<QLabel>(window.get(), "Label6")->text(), QStringLiteral("Website Downloaded!"));
    EXPECT_EQ(Child<QLabel>(window.get(), "Label3")->text(), QStringLiteral("3 Files"));
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_TRUE(Child<QWidget>(window.get(), "Command1")->isEnabled());
    EXPECT_EQ(server->RequestCount("/a.html"), 1u);
    EXPECT_EQ(server->RequestCount("/img/logo.gif"), 1u);
    const QStringList files = FilesBelow(output.NativePath());
    EXPECT_TRUE(files.contains(QStringLiteral("site.test/a.html")))
        << files.join(u' ').toStdString();
    EXPECT_TRUE(files.contains(QStringLiteral("site.test/img/logo.gif")))
        << files.join(u' ').toStdString();
    ASSERT_EQ(browser.opened.size(), 1);
    EXPECT_EQ(QDir(browser.opened[0].toLocalFile()), QDir(output.NativePath()));
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
    EXPECT_EQ(Child<QLabel>(window.get(), "Label6")->text(),
        QStringLiteral("Downloading Site [www.site.test/]"));

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
    EXPECT_EQ(Child<QLabel>(window.get(), "Label6")->text(), QStringLiteral("Website Downloaded!"));
    // A completed job leaves the pause item available.
    EXPECT_TRUE(window->findChild<QAction *>(QStringLiteral("mnupause"))->isEnabled());
}

} // namespace
} // namespace tw::test

#include "tst_download.moc"
