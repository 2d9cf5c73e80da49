#include "gui/windowtest.h"

#include "connections/connection.h"

#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace tw::test {

WindowTest::WindowTest()
    : window(std::make_unique<frmMain>(engine))
{
    engine.Job().outputDir = output.Path();
}

WindowTest::~WindowTest()
{
    if (engine.IsRunning())
        engine.StopNOW();
    window.reset();
    Connection::ClearConnectTo();
}

void WindowTest::ShowQuietly()
{
    window->wizardPending = false;
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
}

void WindowTest::ServeSite()
{
    server = std::make_unique<TestHttpServer>();
    ASSERT_TRUE(server->Listen());
    Connection::SetConnectTo(
        QStringLiteral("www.site.test"), TestHttpServer::Address(), server->Port());
}

void WindowTest::StartJob(const QString &url)
{
    window->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(url);
    window->ConnectNowNow();
}

void WindowTest::ChooseConnections(int count)
{
    auto *txtMax = window->findChild<QListWidget *>(QStringLiteral("txtMax"));
    QListWidgetItem *item = txtMax->item(count - 1);
    txtMax->scrollToItem(item);
    QTest::mouseClick(
        txtMax->viewport(), Qt::LeftButton, {}, txtMax->visualItemRect(item).center());
}

QLabel *WindowTest::Row(const char *column, int slot) const
{
    const QString name
        = QString::fromLatin1(column) + QLatin1Char('(') + QString::number(slot) + QLatin1Char(')');
    return window->findChild<QLabel *>(name);
}

} // namespace tw::test
