// The main window as a user meets it: the rows and counters after start-up, the connection
// count, the queue's double-click, the resize rules, stopping, closing and pausing.

#include "gui/windowtest.h"

#include "forms/twips.h"
#include "output/filesystem.h"

#include <QAction>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>
#include <QUrl>

namespace tw::test {
namespace {

// Receives what the window hands to the web browser or the file browser.
class UrlRecorder : public QObject
{
    Q_OBJECT

public:
    explicit UrlRecorder(const QStringList &schemes)
        : m_schemes(schemes)
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::setUrlHandler(scheme, this, "Open");
    }
    ~UrlRecorder() override
    {
        for (const QString &scheme : m_schemes)
            QDesktopServices::unsetUrlHandler(scheme);
    }

    QList<QUrl> opened;

public Q_SLOTS:
    void Open(const QUrl &url) { opened.append(url); }

private:
    QStringList m_schemes;
};

using MainWindowTest = WindowTest;

TEST(FormatThousands, GroupsDigitsInThrees)
{
    const std::pair<const char *, const char *> cases[] = {
        {"999", "999"},
        {"1000", "1,000"},
        {"100000", "100,000"},
        {"1234567", "1,234,567"},
        {" 42", "42"},
        {"", ""},
        {"-1234", "-1,234"},
        {"-123", "-,123"},
        {"123456", "123,456"},
    };
    for (const auto &[text, grouped] : cases)
        EXPECT_EQ(FormatThousands(text), grouped) << "for \"" << text << '"';
}

TEST_F(MainWindowTest, StartsWithTwentyFourIdleRowsAndThreeConnections)
{
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tidewell Website Copier 1.01"));
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        SCOPED_TRACE(slot);
        ASSERT_NE(Row("l", slot), nullptr);
        EXPECT_EQ(Row("x", slot)->text(), QString::number(slot));
        EXPECT_EQ(Row("l", slot)->text(), QStringLiteral("Not Connected."));
        EXPECT_EQ(Row("k", slot)->text(), QStringLiteral("0 KB"));
        EXPECT_EQ(Row("k2", slot)->text(), QStringLiteral("0%"));
        for (const char *column : {"x", "l", "k", "k2"})
            EXPECT_FALSE(Row(column, slot)->isHidden()) << column;
        // Rows 195 twips apart, the first at 75.
        EXPECT_EQ(Row("l", slot)->y(), Px(75 + 195 * (slot - 1)));
        EXPECT_EQ(Row("k2", slot)->y(), Row("l", slot)->y());
    }
    for (const char *column : {"x", "l", "k", "k2"})
        EXPECT_TRUE(Row(column, 0)->isHidden()) << column;
    EXPECT_EQ(Row("l", 25), nullptr);

    auto *txtMax = Child<QListWidget>(window.get(), "txtMax");
    ASSERT_EQ(txtMax->count(), kSlotCount);
    EXPECT_EQ(txtMax->item(0)->text(), QStringLiteral("1"));
    EXPECT_EQ(txtMax->item(23)->text(), QStringLiteral("24"));
    ASSERT_EQ(txtMax->selectedItems().size(), 1);
    EXPECT_EQ(txtMax->selectedItems().first()->text(), QStringLiteral("3"));
    EXPECT_EQ(engine.ConnectionCount(), 3);

    EXPECT_TRUE(Child<QPushButton>(window.get(), "Command1")->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(window.get(), "Command2")->isEnabled());
    EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    EXPECT_EQ(Child<QLabel>(window.get(), "Label6")->text(), QStringLiteral("Not Connected."));
    EXPECT_TRUE(window->wizardPending);
    EXPECT_TRUE(QFileInfo(
        QString::fromStdString(FileSystem::NativePath(FileSystem::ProgramDirectory() + "\\dldata")))
                    .isDir());
}

TEST_F(MainWindowTest, CountersGroupFilesAndBytesButNotTheQueue)
{
    for (int i = 0; i < 1234; ++i)
        engine.Queue().InsertTop("example.com/page" + std::to_string(i) + ".html");
    engine.Job().aFiles = 1234;
    engine.Job().aBytes = 1234567;
    window->UpdateStats();
    EXPECT_EQ(Child<QLabel>(window.get(), "Label5")->text(), QStringLiteral("1234 Files"));
    EXPECT_EQ(Child<QLabel>(window.get(), "Label3")->text(), QStringLiteral("1,234 Files"));
    EXPECT_EQ(Child<QLabel>(window.get(), "Label4")->text(), QStringLiteral("1,234,567 Bytes"));
}

TEST_F(MainWindowTest, QueueListFollowsALongQueue)
{
    ShowQuietly();
    auto *list = Child<QListView>(window.get(), "List1");
    EXPECT_TRUE(list->uniformItemSizes());
    for (int i = 0; i < 100000; ++i) {
        engine.Queue().InsertTop("example.com/p" + std::to_string(i) + ".html");
        if (i % 1000 == 0)
            QCoreApplication::processEvents();
    }
    QCoreApplication::processEvents();
    ASSERT_EQ(list->model()->rowCount(), 100000);
    EXPECT_EQ(
        list->indexAt(QPoint(4, 4)).data().toString(), QStringLiteral("example.com/p99999.html"));
    for (int i = 0; i < 50000; ++i)
        engine.Queue().RemoveBottom();
    QCoreApplication::processEvents();
    EXPECT_EQ(list->model()->rowCount(), 50000);
}

TEST_F(MainWindowTest, DoubleClickOpensTheQueuedUrlInTheBrowser)
{
    UrlRecorder browser({QStringLiteral("http")});
    engine.Queue().InsertTop("HTTP://Example.com/Upper.html");
    engine.Queue().InsertTop("example.com/dir/page.html");
    ShowQuietly();
    auto *list = Child<QListView>(window.get(), "List1");
    for (int row : {0, 1}) {
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        QTest::mouseDClick(list->viewport(), Qt::LeftButton, {}, cell.center());
    }
    ASSERT_EQ(browser.opened.size(), 2);
    EXPECT_EQ(browser.opened[0], QUrl(QStringLiteral("http://example.com/dir/page.html")));
    EXPECT_EQ(browser.opened[1], QUrl(QStringLiteral("HTTP://Example.com/Upper.html")));
}

TEST_F(MainWindowTest, ExploreOpensTheDownloadFolder)
{
    UrlRecorder files({QStringLiteral("file")});
    Child<QAction>(window.get(), "mnuexplore")->trigger();
    ASSERT_EQ(files.opened.size(), 1);
    EXPECT_EQ(QDir(files.opened[0].toLocalFile()), QDir(output.NativePath()));
}

TEST_F(MainWindowTest, ResizingFollowsTheWindowEdges)
{
    ShowQuietly();
    window->resize(900, 700);
    ASSERT_TRUE(WaitUntil([&] { return window->width() == 900; }, 2000));
    const int W = Twips(window->frameGeometry().width());
    const int H = Twips(window->frameGeometry().height());
    auto *picture1 = Child<QWidget>(window.get(), "Picture1");
    auto *picture3 = Child<QWidget>(window.get(), "Picture3");
    auto *txtMax = Child<QWidget>(window.get(), "txtMax");
    auto *list = Child<QWidget>(window.get(), "List1");
    auto *label6 = Child<QWidget>(window.get(), "Label6");
    auto *text1 = Child<QWidget>(window.get(), "Text1");
    auto *picture2 = Child<QWidget>(window.get(), "Picture2");

    EXPECT_EQ(Twips(picture1->width()), W - 360 - 375 - 120);
    EXPECT_EQ(Twips(list->width()), W - 360);
    EXPECT_EQ(txtMax->x(), picture1->x() + picture1->width() + Px(120));
    EXPECT_EQ(Child<QWidget>(window.get(), "Label7")->x(), txtMax->x());
    EXPECT_EQ(Twips(list->height()), H - 2280 - 4935 - 480);
    EXPECT_EQ(list->y(), Px(6720));
    EXPECT_EQ(Twips(text1->width()), W - 2175 - 1440);
    EXPECT_EQ(picture2->x(), text1->x() + text1->width() + Px(120));
    EXPECT_EQ(label6->y(), Px(6720 + Twips(list->height()) + 40));
    // The size and percentage strip stays flush with the panel's right edge.
    EXPECT_EQ(picture3->x() + picture3->width(), picture1->width());
    EXPECT_EQ(picture1->height(), Px(4935));

    // Too narrow for the panel: its width stays, the assignments after it still apply.
    const int panelWidth = picture1->width();
    window->setMinimumSize(0, 0);
    window->resize(50, 700);
    ASSERT_TRUE(WaitUntil([&] { return window->width() < 57; }, 2000));
    const int narrow = Twips(window->frameGeometry().width());
    ASSERT_LT(narrow - 360 - 375 - 120, 0);
    ASSERT_GT(narrow - 360, 0);
    EXPECT_EQ(picture1->width(), panelWidth);
    EXPECT_EQ(Twips(list->width()), narrow - 360);
    EXPECT_EQ(txtMax->x(), picture1->x() + panelWidth + Px(120));
}

TEST_F(MainWindowTest, LoweringTheConnectionCountResetsTheRowsAboveIt)
{
    for (int slot : {2, 3, 4}) {
        Q_EMIT engine.slotStatusChanged(slot, QStringLiteral("Downloading example.com/x.html"));
        Q_EMIT engine.slotSizeChanged(slot, QStringLiteral("12.3 KB"));
        Q_EMIT engine.slotPercentChanged(slot, QStringLiteral("42%"));
    }
    EXPECT_EQ(Row("l", 3)->text(), QStringLiteral("Downloading example.com/x.html"));

    ShowQuietly();
    ChooseConnections(2);

    EXPECT_EQ(engine.ConnectionCount(), 2);
    EXPECT_EQ(Row("l", 2)->text(), QStringLiteral("Downloading example.com/x.html"));
    EXPECT_EQ(Row("k2", 2)->text(), QStringLiteral("42%"));
    for (int slot : {3, 4}) {
        EXPECT_EQ(Row("l", slot)->text(), QStringLiteral("Not Connected.")) << slot;
        EXPECT_EQ(Row("k", slot)->text(), QStringLiteral("0 KB")) << slot;
        EXPECT_EQ(Row("k2", slot)->text(), QStringLiteral("0%")) << slot;
    }

    ChooseConnections(24);
    EXPECT_EQ(engine.ConnectionCount(), 24);
}

TEST_F(MainWindowTest, EnterInTheUrlBoxStartsTheJob)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    auto *text1 = Child<QLineEdit>(window.get(), "Text1");
    text1->setText(QStringLiteral("http://old.example/"));
    text1->setFocus();
    ASSERT_TRUE(WaitUntil([&] { return text1->selectedText() == text1->text(); }, 2000));

    QTest::keyClicks(text1, QStringLiteral("  HTTP://www.site.test/  "));
    QTest::keyClick(text1, Qt::Key_Return);
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_EQ(text1->text(), QStringLiteral("www.site.test/"));
    EXPECT_FALSE(text1->isEnabled());
    EXPECT_TRUE(server->WaitForRequest("/"));
}

TEST_F(MainWindowTest, StopAsksFirstAndNoLeavesTheJobRunning)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    StartJob();
    ASSERT_TRUE(engine.IsRunning());
    auto *stop = Child<QPushButton>(window.get(), "Command2");
    EXPECT_TRUE(stop->isEnabled());
    EXPECT_FALSE(Child<QPushButton>(window.get(), "Command1")->isEnabled());
    EXPECT_FALSE(Child<QLineEdit>(window.get(), "Text1")->isEnabled());
    EXPECT_EQ(Child<QLineEdit>(window.get(), "Text1")->text(), QStringLiteral("www.site.test/"));
    EXPECT_TRUE(Child<QAction>(window.get(), "mnupause")->isEnabled());

    ModalDriver driver;
    driver.Answer(QMessageBox::No);
    QTest::mouseClick(stop, Qt::LeftButton);
    ASSERT_TRUE(driver.WaitDone());
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Stop Download"));
    EXPECT_EQ(driver.Seen()[0].text,
        QStringLiteral("Are you sure you want to cancel downloading the current website?"));
    EXPECT_EQ(driver.Seen()[0].icon, QMessageBox::Information);
    EXPECT_EQ(driver.Seen()[0].buttons, QMessageBox::Yes | QMessageBox::No);
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_TRUE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    EXPECT_FALSE(window->justRefreshing);
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(MainWindowTest, ConfirmedStopShowsTheWindowAfreshAndTheWizardAgain)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    StartJob();
    ASSERT_TRUE(engine.IsRunning());
    ChooseConnections(6);
    ASSERT_EQ(engine.ConnectionCount(), 6);

    bool refreshingWhileWizardOpen = false;
    QString statusWhileWizardOpen;
    ModalDriver driver;
    driver.Answer(QMessageBox::Yes).Then([&](QWidget *wizard) {
        refreshingWhileWizardOpen = window->justRefreshing;
        statusWhileWizardOpen = Child<QLabel>(window.get(), "Label6")->text();
        wizard->close();
    });
    QTest::mouseClick(Child<QPushButton>(window.get(), "Command2"), Qt::LeftButton);
    ASSERT_TRUE(driver.WaitDone());

    ASSERT_EQ(driver.Seen().size(), 2u);
    EXPECT_EQ(driver.Seen()[1].objectName, QStringLiteral("frmNew"));
    EXPECT_TRUE(refreshingWhileWizardOpen);
    EXPECT_EQ(statusWhileWizardOpen, QStringLiteral("Operation Cancelled."));
    EXPECT_FALSE(window->justRefreshing);
    EXPECT_FALSE(window->wizardPending);
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_EQ(engine.ConnectionCount(), 3);
    EXPECT_EQ(Child<QListWidget>(window.get(), "txtMax")->selectedItems().first()->text(),
        QStringLiteral("3"));
    EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    EXPECT_TRUE(Child<QPushButton>(window.get(), "Command1")->isEnabled());
    EXPECT_TRUE(Child<QLineEdit>(window.get(), "Text1")->isEnabled());
    for (int slot = 1; slot <= kSlotCount; ++slot)
        EXPECT_EQ(Row("l", slot)->text(), QStringLiteral("Not Connected.")) << slot;
    EXPECT_EQ(
        window->findChildren<QLabel *>(QRegularExpression(QStringLiteral("^l\\(\\d+\\)$"))).size(),
        kSlotCount + 1);
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(MainWindowTest, NewSiteWhileRunningAndNoKeepsTheJobWithoutWizard)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    StartJob();
    ModalDriver driver;
    driver.Answer(QMessageBox::No);
    Child<QAction>(window.get(), "mnunew")->trigger();
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Stop Download"));
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(MainWindowTest, CloseAsksAndNoKeepsEverything)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    StartJob();
    QSignalSpy exits(window.get(), &frmMain::exitConfirmed);

    ModalDriver driver;
    driver.Answer(QMessageBox::No);
    EXPECT_FALSE(window->close());
    ASSERT_EQ(driver.Seen().size(), 1u);
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Exit Tidewell"));
    EXPECT_EQ(driver.Seen()[0].text, QStringLiteral("Are you sure you want to exit?"));
    EXPECT_EQ(driver.Seen()[0].icon, QMessageBox::Information);
    EXPECT_TRUE(window->isVisible());
    EXPECT_TRUE(engine.IsRunning());
    EXPECT_EQ(exits.count(), 0);
}

TEST_F(MainWindowTest, CloseConfirmedStopsTheJobAndEndsTheProgram)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    StartJob();
    ASSERT_TRUE(server->WaitForRequest("/"));
    QSignalSpy exits(window.get(), &frmMain::exitConfirmed);

    ModalDriver driver;
    driver.Answer(QMessageBox::Yes);
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_FALSE(engine.IsSchedulerEnabled());
    EXPECT_TRUE(engine.AllSocketsClosed());
    EXPECT_EQ(exits.count(), 1);
}

TEST_F(MainWindowTest, NoQuestionWhileRefreshing)
{
    ShowQuietly();
    window->justRefreshing = true;
    ModalDriver driver;
    EXPECT_TRUE(window->close());
    EXPECT_TRUE(driver.Unexpected().empty());
    EXPECT_FALSE(window->isVisible());
}

TEST_F(MainWindowTest, PauseHoldsTheSchedulerUntilTheDialogCloses)
{
    ServeSite();
    server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
    ShowQuietly();
    StartJob();
    ASSERT_TRUE(engine.IsSchedulerEnabled());

    bool schedulerWhilePaused = true;
    QSize pauseSize;
    ModalDriver driver;
    driver.Then([&](QWidget *pause) {
        schedulerWhilePaused = engine.IsSchedulerEnabled();
        pauseSize = pause->size();
        pause->close(); // the title bar's close button
    });
    Child<QAction>(window.get(), "mnupause")->trigger();
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen()[0].className, QStringLiteral("tw::frmPause"));
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Paused"));
    EXPECT_EQ(pauseSize, QSize(5790 / 15, 2055 / 15));
    EXPECT_FALSE(schedulerWhilePaused);
    EXPECT_TRUE(engine.IsSchedulerEnabled());
    EXPECT_TRUE(engine.IsRunning());

    driver.Then([&](QWidget *pause) {
        schedulerWhilePaused = engine.IsSchedulerEnabled();
        ClickLater(pause, "Command1");
    });
    Child<QAction>(window.get(), "mnupause")->trigger();
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_FALSE(schedulerWhilePaused);
    EXPECT_TRUE(engine.IsSchedulerEnabled());
}

} // namespace
} // namespace tw::test

#include "tst_mainwindow.moc"
