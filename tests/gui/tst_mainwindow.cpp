// The main window as a user meets it: rows and counters, the connection count, and the questions
// asked while a job runs.

#include "gui/windowtest.h"

#include "forms/loginwindow.h"
#include "forms/twips.h"

#include <QAction>
#include <QDateTime>
#include <QPushButton>
#include <QSignalSpy>

#include <map>
#include <tuple>

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

TEST(LoginWindow, ABrowserCookieKeepsItsReachAndItsEnd)
{
    QNetworkCookie domainWide("sid", "1");
    domainWide.setDomain(QStringLiteral(".Example.com"));
    domainWide.setExpirationDate(QDateTime::fromSecsSinceEpoch(2000000000));
    QNetworkCookie ownHost("pref", "2");
    ownHost.setDomain(QStringLiteral("www.example.com"));
    ownHost.setSecure(true);
    const std::tuple<QNetworkCookie, const char *, bool, bool, std::int64_t> cases[]
        = {{domainWide, "example.com", false, false, 2000000000},
            {ownHost, "www.example.com", true, true, 0}};
    for (const auto &[cookie, domain, hostOnly, secure, expires] : cases) {
        const Cookie kept = CookieOfBrowser(cookie);
        EXPECT_EQ(kept.domain, domain);
        EXPECT_EQ(kept.hostOnly, hostOnly) << domain;
        EXPECT_EQ(kept.secure, secure) << domain;
        EXPECT_EQ(kept.expires, expires) << domain;
    }
}

TEST(ConnectionRow, ThePercentIsRounded)
{
    const std::tuple<std::int64_t, std::int64_t, const char *> percents[] = {{5300, 12600, "42%"},
        {1, 0, "0%"}, {12600, 12600, "100%"}, {25000, 12600, "100%"}, {1, 201, "0%"}};
    for (const auto &[received, length, text] : percents)
        EXPECT_EQ(PercentText(received, length), QString::fromLatin1(text)) << received;
}

// Where the resize rules put the controls they move for an outer size of W x H twips, in pixels.
// Each rule's result is stored in whole pixels and read back by the rules after it.
std::map<std::string, QRect> ExpectedGeometry(int W, int H)
{
    const auto px = [](int twips) { return Twips(Px(twips)); };
    const int picture1Width = px(W - 360 - 375 - 120);
    const int list1Height = px(H - 2280 - 4935 - 480);
    const int text1Width = px(W - 2175 - 1440);
    const int txtMaxLeft = 120 + picture1Width + 120;
    const auto rect = [](int l, int t, int w, int h) { return QRect(Px(l), Px(t), Px(w), Px(h)); };
    return {
        {"Picture1", rect(120, 1440, picture1Width, 4935)},
        {"List1", rect(120, 6720, W - 360, list1Height)},
        {"txtMax", rect(txtMaxLeft, 1440, 375, 4905)},
        {"Label7", rect(txtMaxLeft, 1200, 375, 255)},
        {"Text1", rect(1080, 120, text1Width, 360)},
        {"Picture2", rect(1080 + text1Width + 120, 120, 2175, 855)},
        {"Label6", rect(120, 6720 + list1Height + 40, 11175, 255)},
        {"Picture3", rect(picture1Width - 1695, 0, 1695, 4935)},
    };
}

TEST_F(MainWindowTest, ControlsSitWhereTheResizeRulesPutThemForTheOuterSize)
{
    // The controls that are not where the rules put them for the frame the window has now.
    const auto misplaced = [this] {
        const QRect frame = window->frameGeometry();
        std::map<std::string, QRect> wrong;
        for (const auto &[name, expected] :
            ExpectedGeometry(Twips(frame.width()), Twips(frame.height()))) {
            if (const QRect now = Child(window.get(), name.c_str())->geometry(); now != expected)
                wrong[name] = now;
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
    for (const QSize size : {start + QSize(240, 120), start - QSize(80, 60)}) {
        window->resize(size);
        check(size.width() > start.width() ? "larger" : "smaller", size);
    }

    ModalDriver driver;
    driver.Answer(QMessageBox::Yes);
    ServeSite(true);
    window->StartJob(QStringLiteral("http://www.site.test/"));
    window->AskStop();
    ASSERT_TRUE(driver.WaitDone());
    check("Stop gives the window its normal size", start);
}

TEST_F(MainWindowTest, StartsWithTwentyFourIdleRowsAndCountsWithGrouping)
{
    for (int slot = 1; slot <= kSlotCount; ++slot) {
        ASSERT_NE(Row("l", slot), nullptr) << slot;
        EXPECT_EQ(Row("x", slot)->text(), QString::number(slot));
        EXPECT_EQ(RowText(slot), kIdleRow) << slot;
        EXPECT_FALSE(Row("l", slot)->isHidden()) << slot;
    }
    EXPECT_TRUE(Row("l", 0)->isHidden());
    EXPECT_EQ(Row("l", 25), nullptr);
    auto *txtMax = Child<QListWidget>(window.get(), "txtMax");
    ASSERT_EQ(txtMax->count(), kSlotCount);
    EXPECT_EQ(txtMax->currentItem()->text(), QStringLiteral("3"));
    EXPECT_EQ(engine.ConnectionCount(), 3);
    EXPECT_FALSE(Child(window.get(), "Command2")->isEnabled());
    EXPECT_FALSE(Child<QAction>(window.get(), "mnupause")->isEnabled());
    EXPECT_TRUE(window->IsWizardPending());

    // The queue count is not grouped; the file and byte counts are.
    for (int i = 0; i < 1234; ++i)
        engine.Queue().InsertTop("example.com/page" + std::to_string(i) + ".html");
    engine.Counters().aFiles = 1234;
    engine.Counters().aBytes = 1234567;
    window->UpdateStats();
    EXPECT_EQ(Text("Label5"), QStringLiteral("1234 Files"));
    EXPECT_EQ(Text("Label3"), QStringLiteral("1,234 Files"));
    EXPECT_EQ(Text("Label4"), QStringLiteral("1,234,567 Bytes"));
}

TEST_F(MainWindowTest, SitesMenuChoicesAreAppliedToTheJobAndRemembered)
{
    const std::tuple<const char *, bool SiteJob::*, bool> entries[] = {
        {"mnuquerypages", &SiteJob::queryPages, false},
        {"mnuotherhosts", &SiteJob::otherHosts, true}, {"mnukeepalive", &SiteJob::keepAlive, false},
        {"mnuhttp2", &SiteJob::http2, true}, {"mnurobots", &SiteJob::robots, true}};
    for (const auto &[name, choice, byDefault] : entries) {
        SCOPED_TRACE(name);
        auto *entry = Child<QAction>(window.get(), name);
        EXPECT_EQ(entry->isChecked(), byDefault);
        EXPECT_EQ(engine.Job().*choice, byDefault);
        entry->trigger();
        EXPECT_EQ(engine.Job().*choice, !byDefault);
    }
    EXPECT_EQ(engine.Job().render, JobSettings::Render::Auto);
    Child<QAction>(window.get(), "mnurendernever")->trigger();
    EXPECT_EQ(engine.Job().render, JobSettings::Render::Never);
    // A window made afresh finds them as they were left.
    Engine again;
    const frmMain next(again);
    EXPECT_TRUE(again.Job().queryPages);
    EXPECT_FALSE(again.Job().otherHosts);
    EXPECT_EQ(again.Job().render, JobSettings::Render::Never);
    EXPECT_TRUE(Child<QAction>(&next, "mnurendernever")->isChecked());
    for (const auto &[name, choice, byDefault] : entries)
        Child<QAction>(window.get(), name)->trigger();
    Child<QAction>(window.get(), "mnurenderauto")->trigger();
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
    EXPECT_EQ(RowText(2), QStringLiteral("|12.3 KB|42%"));
    EXPECT_EQ(RowText(3), kIdleRow);
    EXPECT_EQ(RowText(4), kIdleRow);
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
        QTest::keyClicks(text1, QStringLiteral("  HTTP://www.site.test/  "));
        QTest::keyClick(text1, Qt::Key_Return);
        ASSERT_TRUE(engine.IsRunning());
        EXPECT_EQ(text1->text(), QStringLiteral("www.site.test/"));
        EXPECT_FALSE(text1->isEnabled());
        ASSERT_TRUE(QTest::qWaitFor([this] { return server->RequestCount("/") > 0; }));
    }
    void Stop() { QTest::mouseClick(Child<QPushButton>(window.get(), "Command2"), Qt::LeftButton); }

    QSignalSpy exits {window.get(), &frmMain::exitConfirmed};
    ModalDriver driver;
};

TEST_F(RunningJobTest, StopNewSiteAndCloseAskFirstNoKeepsTheJobAndYesToCloseEndsTheProgram)
{
    const std::pair<const char *, std::function<void()>> asks[] = {
        {"Stop Download", [&] { Stop(); }},
        {"Stop Download", [&] { Child<QAction>(window.get(), "mnunew")->trigger(); }},
        {"Exit Tidewell", [&] { EXPECT_FALSE(window->close()); }},
    };
    EXPECT_FALSE(Child(window.get(), "Command1")->isEnabled());
    int asked = 0;
    for (const auto &[question, ask] : asks) {
        SCOPED_TRACE(++asked);
        driver.Answer(QMessageBox::No);
        ask();
        ASSERT_TRUE(driver.WaitDone());
        EXPECT_EQ(driver.Seen().back().title, QString::fromLatin1(question));
        EXPECT_EQ(driver.Seen().back().buttons, QMessageBox::Yes | QMessageBox::No);
        EXPECT_TRUE(engine.IsRunning());
        EXPECT_TRUE(window->isVisible());
        EXPECT_TRUE(Child<QAction>(window.get(), "mnupause")->isEnabled());
        EXPECT_FALSE(window->IsRefreshing());
    }
    EXPECT_EQ(exits.count(), 0);

    driver.Answer(QMessageBox::Yes);
    EXPECT_TRUE(window->close());
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(engine.IsRunning());
    EXPECT_FALSE(engine.IsSchedulerEnabled());
    EXPECT_TRUE(engine.AllSocketsClosed());
    EXPECT_EQ(exits.count(), 1);
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
    EXPECT_TRUE(Child(window.get(), "Text1")->isEnabled());
    for (int slot = 1; slot <= kSlotCount; ++slot)
        EXPECT_EQ(RowText(slot), kIdleRow) << slot;
}

TEST_F(RunningJobTest, PauseHoldsTheSchedulerUntilTheDialogCloses)
{
    // Left by the title bar's close button, then by Resume.
    for (const char *resume : {"", "Command1"}) {
        bool schedulerWhilePaused = true;
        driver.Then([&](QWidget *dialog) {
            schedulerWhilePaused = engine.IsSchedulerEnabled();
            if (*resume)
                ClickLater(dialog, resume);
            else
                dialog->close();
        });
        Child<QAction>(window.get(), "mnupause")->trigger();
        ASSERT_TRUE(driver.WaitDone());
        EXPECT_FALSE(schedulerWhilePaused) << resume;
        EXPECT_TRUE(engine.IsSchedulerEnabled()) << resume;
        EXPECT_TRUE(engine.IsRunning());
    }
    EXPECT_EQ(driver.Seen()[0].objectName, QStringLiteral("frmPause"));
    EXPECT_EQ(driver.Seen()[0].title, QStringLiteral("Paused"));
}

} // namespace
} // namespace tw::test
