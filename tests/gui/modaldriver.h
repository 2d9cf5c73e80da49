#pragma once

// Answers the modal dialogs a window test provokes, in the order they appear, the way a user
// would: a repeating timer looks for the active modal widget and applies the next step to it.
// A modal that appears when no step is left is recorded as unexpected and closed, so a test
// fails instead of hanging.

#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <vector>

namespace tw::test {

// What a message box showed when it was answered.
struct SeenModal
{
    QString className;
    QString objectName;
    QString title;
    QString text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QMessageBox::StandardButtons buttons;
};

class ModalDriver
{
public:
    using Step = std::function<void(QWidget *)>;

    ModalDriver();
    ~ModalDriver();

    // Clicks the given button of a message box.
    ModalDriver &Answer(QMessageBox::StandardButton button);
    // Types text into an input dialog and confirms it, or cancels it.
    ModalDriver &Input(const QString &text);
    ModalDriver &CancelInput();
    // Runs any action on the modal widget. An action that opens a further modal must do so
    // through a queued call (for example ClickLater), not inside the step itself.
    ModalDriver &Then(Step step);

    bool Done() const { return m_steps.empty(); }
    // Runs the event loop until every step has been applied.
    bool WaitDone(int timeoutMs = 5000);
    const std::vector<SeenModal> &Seen() const { return m_seen; }
    const std::vector<SeenModal> &Unexpected() const { return m_unexpected; }

private:
    void Poll();

    QTimer m_timer;
    std::deque<Step> m_steps;
    std::vector<QPointer<QWidget>> m_handled;
    std::vector<SeenModal> m_seen;
    std::vector<SeenModal> m_unexpected;
};

// Clicks the named button of a window from the event loop, after the caller has returned.
void ClickLater(QWidget *window, const char *buttonName);

// The widget of the given class and object name inside window; fails the test when missing.
template <typename T> T *Child(const QObject *window, const char *name)
{
    return window->findChild<T *>(QString::fromLatin1(name));
}

} // namespace tw::test
