// The pause dialog on its own: what it shows, and that every way of closing it resumes.

#include "connections/engine.h"
#include "forms/frmpause.h"
#include "gui/modaldriver.h"

#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

namespace tw::test {
namespace {

TEST(PauseDialog, ShowsItsMessageOnBlackAtItsDesignSize)
{
    Engine engine;
    frmPause pause(engine);
    EXPECT_EQ(pause.windowTitle(), QStringLiteral("Paused"));
    EXPECT_EQ(pause.size(), QSize(5790 / 15, 2055 / 15));
    EXPECT_EQ(pause.minimumSize(), pause.maximumSize());
    EXPECT_EQ(pause.palette().color(QPalette::Window), QColor(Qt::black));
    EXPECT_FALSE(pause.windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(pause.windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(pause.windowIcon().isNull());

    auto *heading = Child<QLabel>(&pause, "Label1");
    EXPECT_EQ(heading->text(), QStringLiteral("Download Paused"));
    EXPECT_EQ(heading->palette().color(QPalette::WindowText), QColor(255, 128, 0));
    EXPECT_TRUE(heading->font().bold());
    EXPECT_DOUBLE_EQ(heading->font().pointSizeF(), 24.0);
    EXPECT_EQ(heading->geometry(), QRect(8, 8, 369, 49));

    auto *explanation = Child<QLabel>(&pause, "Label2");
    EXPECT_EQ(explanation->text(),
        QStringLiteral("Until you click resume, no new files will start downloading."));
    EXPECT_EQ(explanation->palette().color(QPalette::WindowText), QColor(Qt::white));
    EXPECT_TRUE(explanation->wordWrap());
    EXPECT_EQ(explanation->geometry(), QRect(80, 96, 225, 33));

    auto *resume = Child<QPushButton>(&pause, "Command1");
    EXPECT_EQ(resume->text(), QStringLiteral("Resume"));
    EXPECT_EQ(resume->geometry(), QRect(104, 56, 177, 33));
}

TEST(PauseDialog, ResumeAndTheCloseButtonBothSwitchTheSchedulerBackOn)
{
    Engine engine;
    for (bool byResume : {true, false}) {
        SCOPED_TRACE(byResume);
        engine.SetSchedulerEnabled(false);
        frmPause pause(engine);
        pause.show();
        if (byResume)
            QTest::mouseClick(Child<QPushButton>(&pause, "Command1"), Qt::LeftButton);
        else
            pause.close();
        EXPECT_FALSE(pause.isVisible());
        EXPECT_TRUE(engine.IsSchedulerEnabled());
    }
}

} // namespace
} // namespace tw::test
