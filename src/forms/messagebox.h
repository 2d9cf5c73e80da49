#pragma once

// The windows' modal message boxes: a title, a text, buttons and an icon, shown over parent.

#include <QMessageBox>

namespace tw {

// Shows the box and returns the button the user chose.
int Answer(QWidget *parent, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::Icon icon = QMessageBox::Information);

// True when url names a host to copy; otherwise says so in a message box and returns false.
bool AcceptStartUrl(QWidget *parent, const QString &url);

// Asks a Yes/No question with the information icon; true when the answer is Yes.
bool AnswerIsYes(QWidget *parent, const QString &title, const QString &text);

} // namespace tw
