#pragma once

// The common ground of the window tests: an engine, its main window (hidden until a test shows
// it), a download folder of its own, on request a site served as www.site.test, and a driver that
// answers modal dialogs the way a user would.

#include "crawl/engine.h"
#include "forms/frmmain.h"
#include "support/testenvironment.h"
#include "support/testhttpserver.h"
#include "transport/connection.h"

#include <QAbstractButton>
#include <QApplication>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPointer>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <vector>

namespace tw::test {

template <typename T = QWidget> T *Child(const QObject *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

// Clicks the named button from the event loop, after the caller has returned.
inline void ClickLater(QWidget *window, const char *buttonName)
{
    QTimer::singleShot(0, Child<QAbstractButton>(window, buttonName), &QAbstractButton::click);
}

// What a modal showed when it was answered.
struct SeenModal
{
    QString objectName, title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

// Applies the queued steps, in order, to the modals as they appear. A modal that appears with no
// step left fails the test and is closed, so that the test goes on instead of hanging. A step
// that opens a further modal must do so through a queued call such as ClickLater.
class ModalDriver
{
public:
    using Step = std::function<void(QWidget *)>;

    ModalDriver()
    {
        QObject::connect(&m_timer, &QTimer::timeout, &m_timer, [this] { Poll(); });
        m_timer.start(10);
    }
    ModalDriver &Then(Step step)
    {
        m_steps.push_back(std::move(step));
        return *this;
    }
    // Clicks a message box button, or types into an input dialog and confirms it.
    ModalDriver &Answer(QMessageBox::StandardButton button, const QString &input = {})
    {
        return Then([button, input](QWidget *modal) {
            if (auto *box = qobject_cast<QMessageBox *>(modal); box && box->button(button))
                return box->button(button)->click();
            if (auto *dialog = qobject_cast<QInputDialog *>(modal))
                dialog->setTextValue(input);
            if (auto *dialog = qobject_cast<QDialog *>(modal))
                button == QMessageBox::Ok ? dialog->accept() : dialog->reject();
        });
    }
    bool WaitDone(int timeoutMs = 5000)
    {
        return QTest::qWaitFor([this] { return m_steps.empty(); }, timeoutMs);
    }
    const std::vector<SeenModal> &Seen() const { return m_seen; }

private:
    void Poll()
    {
        QWidget *modal = QApplication::activeModalWidget();
        if (!modal || !modal->isVisible()
            || std::find(m_handled.begin(), m_handled.end(), modal) != m_handled.end())
            return;
        m_handled.emplace_back(modal);
        SeenModal seen {modal->objectName(), modal->windowTitle()};
        if (auto *box = qobject_cast<QMessageBox *>(modal))
            seen = {seen.objectName, seen.title, box->text(), box->icon(), box->standardButtons()};
        else if (auto *input = qobject_cast<QInputDialog *>(modal))
            seen.text = input->labelText();
        if (m_steps.empty()) {
            ADD_FAILURE() << "unexpected " << seen.title.toStdString() << ": "
                          << seen.text.toStdString();
            return (void)modal->close();
        }
        m_seen.push_back(seen);
        const Step step = std::move(m_steps.front());
        m_steps.pop_front();
        step(modal);
    }

    QTimer m_timer;
    std::deque<Step> m_steps;
    std::vector<QPointer<QWidget>> m_handled;
    std::vector<SeenModal> m_seen;
};

class WindowTest : public ::testing::Test
{
protected:
    WindowTest() { engine.Job().outputDir = output.Path(); }
    ~WindowTest() override
    {
        if (engine.IsRunning())
            engine.StopNOW();
        window.reset();
        Connection::ClearConnectTo();
    }

    // Shows the main window and waits until it is exposed; the wizard stays closed.
    void ShowQuietly()
    {
        window->CancelPendingWizard();
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }
    // Serves www.site.test from the test server; a stalled start page when told so.
    void ServeSite(bool stalled = false)
    {
        server = std::make_unique<TestHttpServer>();
        ASSERT_TRUE(server->Listen());
        Connection::SetConnectTo(
            QStringLiteral("www.site.test"), TestHttpServer::Address(), server->Port());
        if (stalled)
            server->SetRoute("/", Route::Page("slow")).behaviours = {Behaviour::Stall(0)};
    }
    // Clicks the number in the connection-count list, as a user does.
    void ChooseConnections(int count)
    {
        auto *txtMax = Child<QListWidget>(window.get(), "txtMax");
        QListWidgetItem *item = txtMax->item(count - 1);
        txtMax->scrollToItem(item);
        QTest::mouseClick(
            txtMax->viewport(), Qt::LeftButton, {}, txtMax->visualItemRect(item).center());
    }
    QLabel *Row(const char *column, int slot) const
    {
        return window->findChild<QLabel *>(
            QStringLiteral("%1(%2)").arg(QLatin1String(column)).arg(slot));
    }
    // A row's status, size and percentage.
    QString RowText(int slot) const
    {
        return Row("l", slot)->text() + u'|' + Row("k", slot)->text() + u'|'
            + Row("k2", slot)->text();
    }
    QString Text(const char *label) const { return Child<QLabel>(window.get(), label)->text(); }

    const QString kIdleRow = QStringLiteral("Not Connected.|0 KB|0%");
    TempDir output;
    Engine engine;
    std::unique_ptr<frmMain> window = std::make_unique<frmMain>(engine);
    std::unique_ptr<TestHttpServer> server;
};

} // namespace tw::test
