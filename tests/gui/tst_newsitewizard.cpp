// The New Site Wizard: what it shows the first time, how it refuses a folder it cannot write to,
// the file-type list editing, the timeout it hands to the engine, and starting a job.

#include "gui/windowtest.h"

#include "forms/frmnew.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSettings>
#include <QTest>

#include <algorithm>

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
};

TEST_F(WizardTest, FirstStartShowsTheDefaultsAndWritesTheTypeList)
{
    EXPECT_EQ(wizard->windowTitle(), QStringLiteral("New Site Wizard"));
    EXPECT_EQ(txtURL->text(), QStringLiteral("http://"));
    const QString home
        = QString::fromStdString(FileSystem::NativePath(FileSystem::DefaultDownloadDirectory()));
    EXPECT_EQ(txtDir->text(), home);
    EXPECT_TRUE(txtDir->text().endsWith(QStringLiteral("/Websites/")));
    EXPECT_EQ(ReadSetting(QStringLiteral("InDir"), {}), home);

    EXPECT_EQ(Entries(timeouts),
        (QStringList {QStringLiteral("5"), QStringLiteral("10"), QStringLiteral("20"),
            QStringLiteral("30"), QStringLiteral("45")}));
    ASSERT_EQ(timeouts->selectedItems().size(), 1);
    EXPECT_EQ(timeouts->selectedItems().first()->text(), QStringLiteral("20"));

    EXPECT_EQ(Entries(types), DefaultEntries());
    EXPECT_EQ(types->count(), 12);
    ASSERT_TRUE(QFileInfo::exists(ListFile()));
    EXPECT_EQ(ReadFileTypes()->size(), 12u);
    EXPECT_EQ(wizard->width(), 8070 / 15);
}

TEST_F(WizardTest, OpensWithTheStoredValuesAndTypes)
{
    wizard.reset();
    WriteSetting(QStringLiteral("LastURL"), QStringLiteral("http://www.example.com/"));
    WriteSetting(QStringLiteral("InDir"), output.NativePath() + QStringLiteral("/m/"));
    WriteSetting(QStringLiteral("Timeout"), QStringLiteral("7"));
    QFile file(ListFile());
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(".html\r\n\r\n  \r\n.GIF\r\n");
    file.close();

    frmNew again(engine, *window);
    EXPECT_EQ(
        Child<QLineEdit>(&again, "txtURL")->text(), QStringLiteral("http://www.example.com/"));
    EXPECT_EQ(
        Child<QLineEdit>(&again, "txtDir")->text(), output.NativePath() + QStringLiteral("/m/"));
    EXPECT_EQ(Entries(Child<QListWidget>(&again, "List1")),
        (QStringList {QStringLiteral(".html"), QStringLiteral(".GIF")}));
    // A stored timeout that is not one of the choices selects none.
    EXPECT_TRUE(Child<QListWidget>(&again, "List2")->selectedItems().isEmpty());
}

TEST_F(WizardTest, RefusesAFolderThatCannotBeWritten)
{
    QFile blocker(output.NativePath() + QStringLiteral("/afile"));
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
    blocker.close();
    txtDir->setText(output.NativePath() + QStringLiteral("/afile/sub"));
    wizard->show();

    ModalDriver driver;
    driver.Answer(QMessageBox::Ok).Answer(QMessageBox::Ok);
    Click("Command1");
    Click("Command2");
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

TEST_F(WizardTest, CloseCleansTheFolderNameAndCreatesTheFolder)
{
    txtDir->setText(output.NativePath() + QStringLiteral("/we?ird*\\name"));
    wizard->show();
    ModalDriver driver;
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

TEST_F(WizardTest, AddChecksTheLengthOfTheExtension)
{
    wizard->show();
    ModalDriver driver;
    driver.Input(QStringLiteral(".shtml"))
        .Answer(QMessageBox::Ok)
        .Input(QStringLiteral("shtml"))
        .Answer(QMessageBox::Ok)
        .Input(QStringLiteral(".jpeg"))
        .Input(QStringLiteral(" HTML "))
        .Input(QStringLiteral("   "))
        .CancelInput();
    for (int i = 0; i < 6; ++i)
        Click("Command3");
    ASSERT_TRUE(driver.WaitDone());

    const std::vector<SeenModal> &seen = driver.Seen();
    ASSERT_EQ(seen.size(), 8u);
    EXPECT_EQ(seen[0].text, QStringLiteral("Enter a file extension (e.g. .html)"));
    EXPECT_EQ(seen[0].title, QString());
    for (int refusal : {1, 3}) {
        EXPECT_EQ(seen[refusal].title, QStringLiteral("Error"));
        EXPECT_EQ(seen[refusal].text,
            QStringLiteral("That file extension is too long! (max 4 characters)"));
        EXPECT_EQ(seen[refusal].icon, QMessageBox::Information);
    }
    QStringList expected = DefaultEntries();
    expected << QStringLiteral(".jpeg") << QStringLiteral(".html");
    EXPECT_EQ(Entries(types), expected);
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(WizardTest, DeleteNeedsASelectionAndAConfirmation)
{
    wizard->show();
    types->clearSelection();
    ModalDriver driver;
    driver.Answer(QMessageBox::Ok);
    Click("Command4");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Error"));
    EXPECT_EQ(driver.Seen()[0].text, QStringLiteral("You must select a list item to delete."));

    types->setCurrentRow(2); // .php
    driver.Answer(QMessageBox::No).Answer(QMessageBox::Yes);
    Click("Command4");
    EXPECT_EQ(types->count(), 12);
    Click("Command4");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen()[1].title, QStringLiteral("Delete"));
    EXPECT_EQ(driver.Seen()[1].text,
        QStringLiteral("Are you sure you want to remove this list item?\r\n\r\n.php"));
    EXPECT_EQ(driver.Seen()[1].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_FALSE(Entries(types).contains(QStringLiteral(".php")));
    // Only the list changed; the file is written when the wizard is left through its buttons.
    EXPECT_EQ(ReadFileTypes()->size(), 12u);
}

TEST_F(WizardTest, SetToDefaultRestoresTheListAndTheFile)
{
    wizard->show();
    types->setCurrentRow(0);
    ModalDriver driver;
    driver.Answer(QMessageBox::Yes).Answer(QMessageBox::Yes);
    Click("Command4");
    ASSERT_EQ(types->count(), 11);
    Click("Command5");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen()[1].title, QStringLiteral("Default"));
    EXPECT_EQ(driver.Seen()[1].text,
        QStringLiteral("Are you sure you want to set the file types list to default?"));
    EXPECT_EQ(Entries(types), DefaultEntries());
}

TEST_F(WizardTest, ClosingHandsTheChosenTimeoutToEverySlot)
{
    wizard->show();
    timeouts->setCurrentRow(4); // 45
    types->setCurrentRow(0);
    ModalDriver driver;
    driver.Answer(QMessageBox::Yes);
    Click("Command4");
    wizard->close(); // the title bar's close button: the type list edit is lost
    EXPECT_EQ(engine.TimeoutInterval(), 45000);
    EXPECT_EQ(ReadSetting(QStringLiteral("Timeout"), {}), QStringLiteral("45"));
    EXPECT_EQ(ReadFileTypes()->size(), 12u);

    engine.SetTimeoutInterval(30000);
    frmNew again(engine, *window);
    Child<QListWidget>(&again, "List2")->clearSelection();
    again.show();
    again.close();
    EXPECT_EQ(engine.TimeoutInterval(), 30000);
    EXPECT_EQ(ReadSetting(QStringLiteral("Timeout"), QStringLiteral("unset")), QString());
}

TEST_F(WizardTest, DownloadStartsTheJobInTheMainWindow)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    txtURL->setText(QStringLiteral("  http://www.site.test/  "));
    txtDir->setText(output.NativePath() + QStringLiteral("/mirror"));
    types->setCurrentRow(3); // .asp
    wizard->show();
    ModalDriver driver;
    driver.Answer(QMessageBox::Yes);
    Click("Command4");
    timeouts->setCurrentRow(0);
    Click("Command1");

    EXPECT_FALSE(wizard->isVisible());
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_EQ(Child<QLineEdit>(window.get(), "Text1")->text(), QStringLiteral("www.site.test/"));
    const QString folder = output.NativePath() + QStringLiteral("/mirror/");
    EXPECT_EQ(txtDir->text(), folder);
    EXPECT_EQ(ReadSetting(QStringLiteral("InDir"), {}), folder);
    EXPECT_EQ(engine.Job().outputDir, FileSystem::SystemPath(folder.toStdString()));
    EXPECT_EQ(engine.TimeoutInterval(), 5000);
    const auto saved = ReadFileTypes();
    ASSERT_TRUE(saved.has_value());
    EXPECT_EQ(saved->size(), 11u);
    EXPECT_EQ(std::count(saved->begin(), saved->end(), ".asp"), 0);
    EXPECT_TRUE(server->WaitForRequest("/"));
}

} // namespace
} // namespace tw::test
