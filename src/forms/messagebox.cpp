#include "forms/messagebox.h"

namespace tw {

int Answer(QWidget *parent, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons, QMessageBox::Icon icon)
{
    QMessageBox box(icon, title, text, buttons, parent);
    return box.exec();
}

bool AnswerIsYes(QWidget *parent, const QString &title, const QString &text)
{
    return Answer(parent, title, text, QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

} // namespace tw
