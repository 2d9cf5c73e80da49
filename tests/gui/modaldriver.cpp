#include "gui/modaldriver.h"

#include "support/testhttpserver.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QInputDialog>
#include <QPushButton>

namespace tw::test {

namespace {

SeenModal Describe(QWidget *modal)
{
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
    return seen;
}

} // namespace

ModalDriver::ModalDriver()
{
    m_timer.setInterval(10);
    QObject::connect(&m_timer, &QTimer::timeout, [this] { Poll(); });
    m_timer.start();
}

ModalDriver::~ModalDriver() = default;

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

ModalDriver &ModalDriver::CancelInput()
{
    return Then([](QWidget *modal) {
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
    });
}

ModalDriver &ModalDriver::Then(Step step)
{
    m_steps.push_back(std::move(step));
    return *this;
}

bool ModalDriver::WaitDone(int timeoutMs)
{
    return WaitUntil([this] { return Done(); }, timeoutMs);
}

void ModalDriver::Poll()
{
    QWidget *modal = QApplication::activeModalWidget();
    if (!modal || !modal->isVisible())
        return;
    for (const QPointer<QWidget> &handled : m_handled) {
        if (handled == modal)
            return;
    }
    m_handled.emplace_back(modal);
    if (m_steps.empty()) {
        m_unexpected.push_back(Describe(modal));
        if (auto *dialog = qobject_cast<QDialog *>(modal))
            dialog->reject();
        else
            modal->close();
        return;
    }
    m_seen.push_back(Describe(modal));
    Step step = std::move(m_steps.front());
    m_steps.pop_front();
    step(modal);
}

void ClickLater(QWidget *window, const char *buttonName)
{
    QPointer<QAbstractButton> button
        = window->findChild<QAbstractButton *>(QString::fromLatin1(buttonName));
    QTimer::singleShot(0, window, [button] {
        if (button)
            button->click();
    });
}

} // namespace tw::test
