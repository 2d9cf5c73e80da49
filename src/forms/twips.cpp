#include "forms/twips.h"

#include <QPalette>
#include <QWidget>

namespace tw {

void SetTwipsGeometry(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

QFont VerdanaFont(qreal pointSize, bool bold)
{
    QFont font(QStringLiteral("Verdana"));
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

void SetForeground(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    for (const auto role : {QPalette::WindowText, QPalette::Text})
        palette.setColor(role, colour);
    widget->setPalette(palette);
}

void SetBackground(QWidget *widget, const QColor &colour)
{
    QPalette palette = widget->palette();
    for (const auto role : {QPalette::Window, QPalette::Base})
        palette.setColor(role, colour);
    widget->setPalette(palette);
    widget->setAutoFillBackground(true);
}

} // namespace tw
