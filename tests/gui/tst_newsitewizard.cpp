// The New Site Wizard: its first start, the folders and addresses it refuses, editing the
// file-type list.

#include "gui/windowtest.h"

#include "forms/frmnew.h"
#include "output/filesystem.h"
#include "output/filetypes.h"
#include "output/settings.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QPushButton>
#include <QSettings>

#include <algorithm>

namespace tw::test {
namespace {

std::vector<std::string> Entries(const QListWidget *list)
{
    std::vector<std::string> entries;
    for (int row = 0; row < list->count(); ++row)
        entries.push_back(list->item(row)->text().toStdString());
    return entries;
}

class WizardTest : public WindowTest
{
protected:
    static bool ForgetSettings()
    {
        QSettings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("Tidewell"),
            QStringLiteral("Tidewell"))
            .remove(QStringLiteral("Settings"));
        return QFile::remove(QString::fromStdString(FileSystem::NativePath(FileTypeListPath())));
    }

    void Click(const char *button)
    {
        QTest::mouseClick(Child<QPushButton>(wizard.get(), button), Qt::LeftButton);
    }

    bool forgotten = ForgetSettings(); // before the wizard reads them
    std::unique_ptr<frmNew> wizard = std::make_unique<frmNew>(engine, *window);
    QLineEdit *txtURL = Child<QLineEdit>(wizard.get(), "txtURL");
    QLineEdit *txtDir = Child<QLineEdit>(wizard.get(), "txtDir");
    QListWidget *types = Child<QListWidget>(wizard.get(), "List1");
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
    auto *timeouts = Child<QListWidget>(wizard.get(), "List2");
    EXPECT_EQ(Entries(timeouts), (std::vector<std::string> {"5", "10", "20", "30", "45"}));
    EXPECT_EQ(timeouts->currentItem()->text(), QStringLiteral("20"));
    EXPECT_EQ(Entries(types), DefaultFileTypes());
    EXPECT_EQ(ReadFileTypes(), DefaultFileTypes());
    // Everything the pages need is fetched until the box is cleared, which is remembered.
    auto *parts = Child<QCheckBox>(wizard.get(), "chkParts");
    EXPECT_TRUE(parts->isChecked());
    parts->click();
    EXPECT_FALSE(engine.Job().pageParts);
    EXPECT_FALSE(PagePartsChosen());
}

TEST_F(WizardTest, RefusesAFolderThatCannotBeWrittenAndAnAddressWithoutAHost)
{
    ServeSite();
    ASSERT_TRUE(FileSystem::WriteFile(output.Path() + "afile", "x"));
    txtDir->setText(output.NativePath() + QStringLiteral("/afile/sub"));
    txtURL->setText(QStringLiteral("http://www.site.test/"));
    wizard->show();
    driver.Answer(QMessageBox::Ok).Answer(QMessageBox::Ok);
    Click("Command1"); // Download
    Click("Command2"); // Close
    ASSERT_TRUE(driver.WaitDone());
    for (const SeenModal &seen : driver.Seen())
        EXPECT_EQ(seen.title, QStringLiteral("Eror"));
    EXPECT_EQ(txtDir->text(), output.NativePath() + QStringLiteral("/afile/sub/"));
    EXPECT_TRUE(wizard->isVisible());

    txtDir->setText(QStringLiteral("  "));
    driver.Answer(QMessageBox::Ok);
    Click("Command2");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen().back().title, QStringLiteral("Eror"));
    EXPECT_TRUE(wizard->isVisible());

    txtDir->setText(output.NativePath() + QStringLiteral("/copy/"));
    txtURL->setText(QStringLiteral(" HTTPS:// "));
    driver.Answer(QMessageBox::Ok);
    Click("Command1");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen().back().title, QStringLiteral("Error"));
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_EQ(ReadTree(output.NativePath()).size(), 1U) << "afile alone";
}

TEST_F(WizardTest, CloseTakesTheFolderAsTypedOrRefusesIt)
{
    // The cleaning of stored names would make it another folder.
    const QString typed = output.NativePath() + QStringLiteral("/we?ird*\\na__me");
    txtDir->setText(typed);
    wizard->show();
    driver.Answer(QMessageBox::Ok);
    Click("Command2");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen().back().text,
        QStringLiteral("That folder cannot be used as it is typed: the names of stored files lose "
                       "\"__\", \"www.\" and * ? < > { } ! & |, which would make it ")
            + output.NativePath() + QStringLiteral("/we_ird/na_me/. Choose another folder."));
    EXPECT_TRUE(wizard->isVisible());
    EXPECT_EQ(txtDir->text(), typed);
    EXPECT_TRUE(ReadTree(output.NativePath()).empty());
    EXPECT_FALSE(QFileInfo::exists(output.NativePath() + QStringLiteral("/we_ird")));

    const QString plain = output.NativePath() + QStringLiteral("/we ird\\name");
    txtDir->setText(plain);
    Click("Command2");
    EXPECT_FALSE(wizard->isVisible());
    const QString shown = output.NativePath() + QStringLiteral("/we ird/name/");
    EXPECT_EQ(txtDir->text(), shown);
    EXPECT_EQ(ReadSetting(QStringLiteral("InDir"), {}), shown);
    EXPECT_TRUE(QFileInfo(shown).isDir());
    EXPECT_EQ(engine.Job().outputDir, FileSystem::SystemPath(shown.toStdString()));
}

TEST_F(WizardTest, TheTypeListIsEditedWithQuestionsAndChecks)
{
    wizard->show();
    // Too long, added as typed, lowered and given its dot, nothing, cancelled.
    for (const char *typed :
        std::initializer_list<const char *> {"shtml", ".jpeg", " HTML ", "   ", nullptr}) {
        driver.Answer(typed ? QMessageBox::Ok : QMessageBox::Cancel, QString::fromLatin1(typed));
        if (typed && typed[0] == 's')
            driver.Answer(QMessageBox::Ok); // the refusal
        Click("Command3"); // Add
    }
    ASSERT_TRUE(driver.WaitDone());
    const std::vector<SeenModal> seen = driver.Seen();
    ASSERT_EQ(seen.size(), 6u);
    // Blank, but not empty: an empty title would show the program's name.
    EXPECT_TRUE(!seen[0].title.isEmpty() && seen[0].title.trimmed().isEmpty());
    EXPECT_EQ(seen[1].text, QStringLiteral("That file extension is too long! (max 4 characters)"));
    std::vector<std::string> expected = DefaultFileTypes();
    expected.insert(expected.end(), {".jpeg", ".html"});
    EXPECT_EQ(Entries(types), expected);

    types->setCurrentRow(2); // .php
    driver.Answer(QMessageBox::No).Answer(QMessageBox::Yes);
    Click("Command4"); // Delete
    EXPECT_EQ(types->count(), 14);
    Click("Command4");
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen().back().text,
        QStringLiteral("Are you sure you want to remove this list item?\r\n\r\n.php"));
    EXPECT_EQ(std::ranges::count(Entries(types), std::string(".php")), 0);
    // The file is written only when the wizard is left through its buttons.
    EXPECT_EQ(ReadFileTypes(), DefaultFileTypes());

    driver.Answer(QMessageBox::Yes);
    Click("Command5"); // Set to default
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(Entries(types), DefaultFileTypes());
}

} // namespace
} // namespace tw::test
