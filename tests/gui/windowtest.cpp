#include "gui/windowtest.h"

#include "connections/connection.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QLineEdit>
#include <QListWidget>
#include <QTest>

namespace tw::test {

ModalDriver::ModalDriver()
{
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start();
}

ModalDriver &ModalDriver::Answer(QMessageBox::StandardButton button)
{
    return Then([button](QWidget *modal) {
        if (auto *box = qobject_cast<QMessageBox *>(modal); box && box->button(button))
            box->button(button)->click();
        else if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    });
}

ModalDriver &ModalDriver::Input(const QString &text)
{
    return Then([text](QWidget *modal) {
        if (auto *input = qobject_cast<QInputDialog *>(modal)) {
            input->setTextValue(text);
            input->accept();
        } else if (auto *dialog = qobject_cast<QDialog *>(modal)) {
            dialog->reject();
        }
    });
}

ModalDriver &ModalDriver::Then(Step step)
{
    m_steps.push_back(std::move(step));
    return *this;
}

bool ModalDriver::WaitDone(int timeoutMs)
{
    return QTest::qWaitFor([this] { return m_steps.empty(); }, timeoutMs);
}

void ModalDriver::Poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible()
        || std::find(m_handled.begin(), m_handled.end(), modal) != m_handled.end())
        return;
    m_handled.emplace_back(modal);
    SeenModal seen;
    seen.className = QString::fromLatin1(modal->metaObject()->className());
    seen.objectName = modal->objectName();
    seen.title = modal->windowTitle();
    if (auto *box = qobject_cast<QMessageBox *>(modal)) {
        seen.text = box->text();
        seen.icon = box->icon();
        seen.buttons = box->standardButtons();
    } else if (auto *input = qobject_cast<QInputDialog *>(modal)) {
        seen.text = input->labelText();
    }
    if (m_steps.empty()) {
        m_unexpected.push_back(seen);
        modal->close();
        return;
    }
    m_seen.push_back(seen);
    const Step step = std::move(m_steps.front());
    m_steps.pop_front();
    step(modal);
}

void ClickLater(QWidget *window, const char *buttonName)
{
    QPointer<QAbstractButton> button = Child<QAbstractButton>(window, buttonName);
    QTimer::singleShot(0, window, [button] {
        if (button)
            button->click();
    });
}

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
    window->CancelPendingWizard();
    window->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
}

void WindowTest::ServeSite(bool stalled)
{
    server = std::make_unique<TestHttpServer>();
    ASSERT_TRUE(server->Listen());
    Connection::SetConnectTo(
        QStringLiteral("www.site.test"), TestHttpServer::Address(), server->Port());
    if (stalled)
        server->SetRoute("/", Route::Page("<html>slow</html>")).behaviours = {Behaviour::Stall(0)};
}

void WindowTest::StartJob(const QString &url)
{
    Child<QLineEdit>(window.get(), "Text1")->setText(url);
    window->ConnectNowNow();
}

void WindowTest::ChooseConnections(int count)
{
    auto *txtMax = Child<QListWidget>(window.get(), "txtMax");
    QListWidgetItem *item = txtMax->item(count - 1);
    txtMax->scrollToItem(item);
    QTest::mouseClick(
        txtMax->viewport(), Qt::LeftButton, {}, txtMax->visualItemRect(item).center());
}

QLabel *WindowTest::Row(const char *column, int slot) const
{
    return window->findChild<QLabel *>(
        QStringLiteral("%1(%2)").arg(QLatin1String(column)).arg(slot));
}

} // namespace tw::test
