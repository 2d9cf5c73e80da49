// The New Site Wizard: its first start, refusing a folder it cannot write to, editing the
// file-type list.

#include "gui/windowtest.h"

#include "forms/frmnew.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/settings.h"

#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTest>

namespace tw::test {
namespace {

QString ListFile()
{
    return QString::fromStdString(FileSystem::NativePath(FileTypeListPath()));
}

QStringList Entries(const QListWidget *list)
{
    QStringList entries;
    for (int row = 0; row < list->count(); ++row)
        entries.append(list->item(row)->text());
    return entries;
}

QStringList DefaultEntries()
{
    QStringList entries;
    for (const std::string &entry : DefaultFileTypes())
        entries.append(QString::fromStdString(entry));
    return entries;
}

class WizardTest : public WindowTest
{
protected:
    WizardTest()
    {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tidewell"),
            QStringLiteral("Tidewell"))
            .remove(QStringLiteral("Settings"));
        QFile::remove(ListFile());
        wizard = std::make_unique<frmNew>(engine, *window);
        txtURL = Child<QLineEdit>(wizard.get(), "txtURL");
        txtDir = Child<QLineEdit>(wizard.get(), "txtDir");
        types = Child<QListWidget>(wizard.get(), "List1");
        timeouts = Child<QListWidget>(wizard.get(), "List2");
    }

    void Click(const char *button)
    {
        QTest::mouseClick(Child<QPushButton>(wizard.get(), button), Qt::LeftButton);
    }

    std::unique_ptr<frmNew> wizard;
    QLineEdit *txtURL = nullptr;
    QLineEdit *txtDir = nullptr;
    QListWidget *types = nullptr;
    QListWidget *timeouts = nullptr;
    ModalDriver driver;
};

TEST_F(WizardTest, FirstStartShowsTheDefaultsAndWritesTheTypeList)
{
    EXPECT_EQ(txtURL->text(), QStringLiteral("http://"));
    const QString home
        = QString::fromStdString(FileSystem::NativePath(FileSystem::DefaultDownloadDirectory()));
    EXPECT_EQ(txtDir->text(), home);
    EXPECT_TRUE(txtDir->text().endsWith(QStringLiteral("/Websites/")));
    EXPECT_EQ(ReadSetting(QStringLiteral("InDir"), {}), home);
    EXPECT_EQ(Entries(timeouts).join(u' '), QStringLiteral("5 10 20 30 45"));
    ASSERT_EQ(timeouts->selectedItems().size(), 1);
    EXPECT_EQ(timeouts->selectedItems().first()->text(), QStringLiteral("20"));
    EXPECT_EQ(Entries(types), DefaultEntries());
    ASSERT_TRUE(QFileInfo::exists(ListFile()));
    EXPECT_EQ(ReadFileTypes()->size(), 12u);
}

TEST_F(WizardTest, RefusesAFolderThatCannotBeWritten)
{
    ASSERT_TRUE(FileSystem::WriteFile(output.Path() + "afile", "x"));
    txtDir->setText(output.NativePath() + QStringLiteral("/afile/sub"));
    txtURL->setText(QStringLiteral("http://www.site.test/"));
    wizard->show();
    driver.Answer(QMessageBox::Ok).Answer(QMessageBox::Ok);
    Click("Command1"); // Download
    Click("Command2"); // Close
    ASSERT_TRUE(driver.WaitDone());
    for (const SeenModal &seen : driver.Seen()) {
        EXPECT_EQ(seen.title, QStringLiteral("Eror"));
        EXPECT_EQ(seen.text,
            QStringLiteral("That is an invalid directory. Check it has no invalid characters."));
        EXPECT_EQ(seen.icon, QMessageBox::Critical);
    }
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_EQ(txtDir->text(), output.NativePath() + QStringLiteral("/afile/sub/"));
    EXPECT_FALSE(engine.IsRunning());
}

TEST_F(WizardTest, AStartUrlWithoutAHostStartsNothingAndWritesNothing)
{
    ServeSite();
    txtDir->setText(output.NativePath() + QStringLiteral("/copy/"));
    wizard->show();
    const QStringList typed = {QString(), QStringLiteral("   "), QStringLiteral("http://"),
        QStringLiteral(" HTTPS:// "), QStringLiteral("http://www.")};
    for (const QString &url : typed) {
        SCOPED_TRACE(url.toStdString());
        txtURL->setText(url);
        driver.Answer(QMessageBox::Ok);
        Click("Command1"); // Download
        ASSERT_TRUE(driver.WaitDone());
        const SeenModal &seen = driver.Seen().back();
        EXPECT_EQ(seen.title, QStringLiteral("Error"));
        EXPECT_EQ(seen.text,
            QStringLiteral("Enter the address of the website to download, such as "
                           "http://example.com/"));
        EXPECT_TRUE(wizard->isVisible());
        EXPECT_FALSE(engine.IsRunning());
    }
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_TRUE(ReadTree(output.NativePath()).empty());
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(WizardTest, CloseCleansTheFolderNameAndCreatesTheFolder)
{
    txtDir->setText(output.NativePath() + QStringLiteral("/we?ird*\\name"));
    wizard->show();
    Click("Command2");
    EXPECT_TRUE(driver.Unexpected().empty());
    EXPECT_FALSE(wizard->isVisible());
    const QString cleaned = output.NativePath() + QStringLiteral("/we_ird/name/");
    EXPECT_EQ(txtDir->text(), cleaned);
    EXPECT_EQ(ReadSetting(QStringLiteral("InDir"), {}), cleaned);
    EXPECT_TRUE(QFileInfo(cleaned).isDir());
    EXPECT_EQ(engine.Job().outputDir, FileSystem::SystemPath(cleaned.toStdString()));
    EXPECT_FALSE(engine.IsRunning());
}

TEST_F(WizardTest, TheTypeListIsEditedWithQuestionsAndChecks)
{
    wizard->show();
    driver.Input(QStringLiteral(".shtml"))
        .Answer(QMessageBox::Ok)
        .Input(QStringLiteral("shtml"))
        .Answer(QMessageBox::Ok)
        .Input(QStringLiteral(".jpeg"))
        .Input(QStringLiteral(" HTML "))
        .Input(QStringLiteral("   "))
        .Answer(QMessageBox::Cancel);
    for (int i = 0; i < 6; ++i)
        Click("Command3"); // Add
    ASSERT_TRUE(driver.WaitDone());
    const std::vector<SeenModal> &seen = driver.Seen();
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[0].text, QStringLiteral("Enter a file extension (e.g. .html)"));
    // Blank, but not empty: an empty title would show the program's name.
    EXPECT_FALSE(seen[0].title.isEmpty());
    EXPECT_TRUE(seen[0].title.trimmed().isEmpty());
    for (int refusal : {1, 3}) {
        EXPECT_EQ(seen[refusal].title, QStringLiteral("Error"));
        EXPECT_EQ(seen[refusal].text,
            QStringLiteral("That file extension is too long! (max 4 characters)"));
    }
    EXPECT_EQ(Entries(types), DefaultEntries() + QStringList({".jpeg", ".html"}));

    types->setCurrentRow(2); // .php
    driver.Answer(QMessageBox::No).Answer(QMessageBox::Yes);
    Click("Command4"); // Delete
    EXPECT_EQ(types->count(), 14);
    Click("Command4");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(seen[9].title, QStringLiteral("Delete"));
    EXPECT_EQ(seen[9].text,
        QStringLiteral("Are you sure you want to remove this list item?\r\n\r\n.php"));
    EXPECT_FALSE(Entries(types).contains(QStringLiteral(".php")));
    // The file is written only when the wizard is left through its buttons.
    EXPECT_EQ(ReadFileTypes()->size(), 12u);

    driver.Answer(QMessageBox::Yes);
    Click("Command5"); // Set to default
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(seen[10].text,
        QStringLiteral("Are you sure you want to set the file types list to default?"));
    EXPECT_EQ(Entries(types), DefaultEntries());
    EXPECT_TRUE(driver.Unexpected().empty());
}

} // namespace
} // namespace tw::test
