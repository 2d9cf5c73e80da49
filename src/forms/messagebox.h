#pragma once

// The windows' modal message boxes: a title, a text, buttons and an icon, shown over parent.

#include <QMessageBox>

namespace tw {

// Shows the box and returns the button the user chose.
int Answer(QWidget *parent, const QString &title, const QString &text,
    QMessageBox::StandardButtons buttons = QMessageBox::Ok,
    QMessageBox::Icon icon = QMessageBox::Information);

// Asks a Yes/No question with the information icon; true when the answer is Yes.
bool AnswerIsYes(QWidget *parent, const QString &title, const QString &text);

} // namespace tw
