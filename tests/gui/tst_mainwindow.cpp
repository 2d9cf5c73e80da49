// The main window as a user meets it: rows and counters, the connection count, and the questions
// asked while a job runs.

#include "gui/windowtest.h"

#include "forms/twips.h"

#include <QAction>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <array>
#include <map>

namespace tw::test {
namespace {

using MainWindowTest = WindowTest;

TEST(FormatThousands, GroupsDigitsInThrees)
{
    const std::pair<const char *, const char *> cases[]
        = {{"999", "999"}, {"1000", "1,000"}, {"1234567", "1,234,567"}, {" 42", "42"}, {"", ""},
            {"-1234", "-1,234"}, {"-123", "-,123"}, {"123456", "123,456"}};
    for (const auto &[text, grouped] : cases)
        EXPECT_EQ(FormatThousands(text), grouped) << '"' << text << '"';
}

TEST(ConnectionRow, SizeKeepsThreeSignificantDigitsAndThePercentIsRounded)
{
    const std::pair<std::int64_t, const char *> sizes[] = {{0, "0 bytes"}, {532, "532 bytes"},
        {1229, "1.20 KB"}, {12595, "12.2 KB"}, {125952, "123 KB"}, {1048575, "1023 KB"},
        {1258292, "1.20 MB"}, {std::int64_t(5) << 30, "5.00 GB"}};
    for (const auto &[bytes, text] : sizes)
        EXPECT_EQ(FormatByteSize(bytes), QString::fromLatin1(text)) << bytes;
    const std::array<std::array<std::int64_t, 2>, 5> parts
        = {{{5300, 12600}, {1, 0}, {12600, 12600}, {25000, 12600}, {1, 201}}};
    const char *const percents[] = {"42%", "0%", "100%", "100%", "0%"};
    for (std::size_t i = 0; i < parts.size(); ++i)
        EXPECT_EQ(PercentText(parts[i][0], parts[i][1]), QString::fromLatin1(percents[i])) << i;
}

// Where the layout and the resize rules put each control for an outer size of W x H twips, in
// pixels. Each rule's result is stored in whole pixels and read back by the rules after it.
std::map<std::string, QRect> ExpectedGeometry(int W, int H)
{
    const auto px = [](int twips) { return Twips(Px(twips)); };
    const int picture1Width = px(W - 360 - 375 - 120);
    const int list1Height = px(H - 2280 - 4935 - 480);
    const int text1Width = px(W - 2175 - 1440);
    const int txtMaxLeft = 120 + picture1Width + 120;
    const std::map<std::string, std::array<int, 4>> twips = {
        {"Picture1", {120, 1440, picture1Width, 4935}},
        {"List1", {120, 6720, W - 360, list1Height}},
        {"txtMax", {txtMaxLeft, 1440, 375, 4905}},
        {"Label7", {txtMaxLeft, 1200, 375, 255}},
        {"Text1", {1080, 120, text1Width, 360}},
        {"Picture2", {1080 + text1Width + 120, 120, 2175, 855}},
        {"Label6", {120, 6720 + list1Height + 40, 11175, 255}},
        {"Picture3", {picture1Width - 1695, 0, 1695, 4935}},
        {"Label8", {120, 6480, 2415, 255}},
        {"Image1", {120, 120, 1185, 360}},
        {"Label3", {120, 840, 1695, 255}},
        {"Label4", {120, 1080, 2295, 255}},
        {"Label5", {2400, 840, 3135, 255}},
    };
    std::map<std::string, QRect> pixels;
    for (const auto &[name, r] : twips)
        pixels[name] = QRect(Px(r[0]), Px(r[1]), Px(r[2]), Px(r[3]));
    return pixels;
}

TEST_F(MainWindowTest, ControlsSitWhereTheResizeRulesPutThemForTheOuterSize)
{
    // The controls that are not where the rules put them for the frame the window has now.
    const auto misplaced = [this] {
        const QRect frame = window->frameGeometry();
        std::map<std::string, QRect> wrong;
        for (const auto &[name, expected] :
            ExpectedGeometry(Twips(frame.width()), Twips(frame.height()))) {
            if (Child<QWidget>(window.get(), name.c_str())->geometry() != expected)
                wrong[name] = Child<QWidget>(window.get(), name.c_str())->geometry();
        }
        return wrong;
    };
    // A window manager may report the frame late: each check waits for the size and layout.
    const auto check = [&](const char *when, QSize size) {
        SCOPED_TRACE(when);
        EXPECT_TRUE(QTest::qWaitFor([&] { return window->size() == size && misplaced().empty(); }));
        EXPECT_EQ(window->size(), size);
        EXPECT_EQ(misplaced(), (std::map<std::string, QRect>()));
    };
    ShowQuietly();
    const QSize start = window->size();
    check("at start", start);
    const std::pair<const char *, QSize> sizes[] = {
        {"larger", start + QSize(240, 120)},
        {"smaller", start - QSize(80, 60)},
        {"larger again, then Stop", start + QSize(100, 50)},
    };
    for (const auto &[when, size] : sizes) {
        window->resize(size);
        check(when, size);
    }

    ModalDriver driver;
    driver.Answer(QMessageBox::Yes);
    ServeSite(true);
    StartJob();
    window->AskStop();
    ASSERT_TRUE(driver.WaitDone());
    check("Stop gives the window its normal size", start);
}

TEST_F(MainWindowTest, StartsWithTwentyFourIdleRowsAndCountsWithGrouping)
{
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        SCOPED_TRACE(slot);
        ASSERT_NE(Row("l", slot), nullptr);
        EXPECT_EQ(Row("x", slot)->text(), QString::number(slot));
        EXPECT_EQ(Row("l", slot)->text(), QStringLiteral("Not Connected."));
        EXPECT_EQ(Row("k", slot)->text(), QStringLiteral("0 KB"));
        EXPECT_EQ(Row("k2", slot)->text(), QStringLiteral("0%"));
        EXPECT_FALSE(Row("l", slot)->isHidden());
    }
    EXPECT_TRUE(Row("l", 0)->isHidden());
    EXPECT_EQ(Row("l", 25), nullptr);
    auto *txtMax = Child<QListWidget>(window.get(), "txtMax");
    ASSERT_EQ(txtMax->count(), kSlotCount);
    ASSERT_EQ(txtMax->selectedItems().size(), 1);
    EXPECT_EQ(txtMax->selectedItems().first()->text(), QStringLiteral("3"));
    EXPECT_EQ(engine.ConnectionCount(), 3);
    EXPECT_FALSE(Child<QPushButton>(window.get(), "Command2")->isEnabled());
    EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    EXPECT_EQ(Text("Label6"), QStringLiteral("Not Connected."));
    EXPECT_TRUE(window->IsWizardPending());

    // The queue count is not grouped; the file and byte counts are.
    for (int i = 0; i < 1234; ++i)
        engine.Queue().InsertTop("example.com/page" + std::to_string(i) + ".html");
    engine.Job().aFiles = 1234;
    engine.Job().aBytes = 1234567;
    window->UpdateStats();
    EXPECT_EQ(Text("Label5"), QStringLiteral("1234 Files"));
    EXPECT_EQ(Text("Label3"), QStringLiteral("1,234 Files"));
    EXPECT_EQ(Text("Label4"), QStringLiteral("1,234,567 Bytes"));
}

TEST_F(MainWindowTest, LoweringTheConnectionCountResetsTheRowsAboveIt)
{
    for (int slot : {2, 3, 4}) {
        Q_EMIT engine.slotStateChanged(slot, SlotState::Finished);
        Q_EMIT engine.slotProgressChanged(slot, 5300, 12600);
    }
    ShowQuietly();
    ChooseConnections(2);
    EXPECT_EQ(engine.ConnectionCount(), 2);
    EXPECT_EQ(Row("l", 2)->text(), QString());
    EXPECT_EQ(Row("k", 2)->text(), QStringLiteral("12.3 KB"));
    EXPECT_EQ(Row("k2", 2)->text(), QStringLiteral("42%"));
    for (int slot : {3, 4}) {
        EXPECT_EQ(Row("l", slot)->text(), QStringLiteral("Not Connected.")) << slot;
        EXPECT_EQ(Row("k", slot)->text(), QStringLiteral("0 KB")) << slot;
        EXPECT_EQ(Row("k2", slot)->text(), QStringLiteral("0%")) << slot;
    }
    ChooseConnections(24);
    EXPECT_EQ(engine.ConnectionCount(), 24);
}

// A job started with Enter in the URL box, waiting on its stalled start page.
class RunningJobTest : public WindowTest
{
protected:
    void SetUp() override
    {
        ServeSite(true);
        ShowQuietly();
        auto *text1 = Child<QLineEdit>(window.get(), "Text1");
        text1->clear();
        QTest::keyClicks(text1, QStringLiteral("  HTTP://www.site.test/  "));
        QTest::keyClick(text1, Qt::Key_Return);
        ASSERT_TRUE(engine.IsRunning());
        EXPECT_EQ(text1->text(), QStringLiteral("www.site.test/"));
        EXPECT_FALSE(text1->isEnabled());
        ASSERT_TRUE(QTest::qWaitFor([this] { return server->RequestCount("/") > 0; }));
        exits = std::make_unique<QSignalSpy>(window.get(), &frmMain::exitConfirmed);
    }
    void Stop() { QTest::mouseClick(Child<QPushButton>(window.get(), "Command2"), Qt::LeftButton); }

    std::unique_ptr<QSignalSpy> exits;
    ModalDriver driver;
};

TEST_F(RunningJobTest, StopNewSiteAndCloseAskFirstAndNoKeepsTheJobRunning)
{
    // The questions themselves: Stop Download for the first two, Exit Tidewell for the last.
    const std::function<void()> acts[]
        = {[&] { Stop(); }, [&] { Child<QAction>(window.get(), "mnunew")->trigger(); },
            [&] { EXPECT_FALSE(window->close()); }};
    EXPECT_FALSE(Child<QPushButton>(window.get(), "Command1")->isEnabled());
    for (const auto &act : acts) {
        SCOPED_TRACE(&act - acts);
        driver.Answer(QMessageBox::No);
        act();
        ASSERT_TRUE(driver.WaitDone());
        EXPECT_EQ(driver.Seen().back().title,
            &act == &acts[2] ? QStringLiteral("Exit Tidewell") : QStringLiteral("Stop Download"));
        EXPECT_EQ(driver.Seen().back().buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_TRUE(engine.IsRunning());
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(Child<QAction>(window.get(), "mnupause")->isEnabled());
        EXPECT_FALSE(window->IsRefreshing());
    }
    EXPECT_EQ(exits->count(), 0);
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(RunningJobTest, ConfirmedStopShowsTheWindowAfreshAndTheWizardAgain)
{
    ChooseConnections(6);
    bool refreshingWhileWizardOpen = false;
    QString statusWhileWizardOpen;
    driver.Answer(QMessageBox::Yes).Then([&](QWidget *wizard) {
        refreshingWhileWizardOpen = window->IsRefreshing();
        statusWhileWizardOpen = Text("Label6");
        wizard->close();
    });
    Stop();
    ASSERT_TRUE(driver.WaitDone());
    EXPECT_EQ(driver.Seen().at(1).objectName, QStringLiteral("frmNew"));
    EXPECT_TRUE(refreshingWhileWizardOpen);
    EXPECT_EQ(statusWhileWizardOpen, QStringLiteral("Operation Cancelled."));
    EXPECT_FALSE(window->IsRefreshing());
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_EQ(engine.ConnectionCount(), 3);
    EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    EXPECT_TRUE(Child<QLineEdit>(window.get(), "Text1")->isEnabled());
    for (int slot = 1; slot <= kSlotCount; ++slot)
        EXPECT_EQ(Row("l", slot)->text(), QStringLiteral("Not Connected.")) << slot;
    EXPECT_TRUE(driver.Unexpected().empty());
}

TEST_F(RunningJobTest, ConfirmedCloseStopsTheJobAndEndsTheProgram)
{
    driver.Answer(QMessageBox::Yes);
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_FALSE(engine.IsSchedulerEnabled());
    EXPECT_TRUE(engine.AllSocketsClosed());
    EXPECT_EQ(exits->count(), 1);
}

TEST_F(RunningJobTest, PauseHoldsTheSchedulerUntilTheDialogCloses)
{
    bool schedulerWhilePaused = true;
    const auto pause = [&](const std::function<void(QWidget *)> &leave) {
        driver.Then([&, leave](QWidget *dialog) {
            schedulerWhilePaused = engine.IsSchedulerEnabled();
            leave(dialog);
        });
        Child<QAction>(window.get(), "mnupause")->trigger();
        ASSERT_TRUE(driver.WaitDone());
        EXPECT_FALSE(schedulerWhilePaused);
        EXPECT_TRUE(engine.IsSchedulerEnabled());
        EXPECT_TRUE(engine.IsRunning());
    };
    pause([](QWidget *dialog) { dialog->close(); }); // the title bar's close button
    EXPECT_EQ(driver.Seen()[0].objectName, QStringLiteral("frmPause"));
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Paused"));
    pause([](QWidget *dialog) { ClickLater(dialog, "Command1"); });
}

} // namespace
} // namespace tw::test
