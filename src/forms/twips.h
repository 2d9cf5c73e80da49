#pragma once

// The windows are laid out in twips; these helpers turn that into Qt geometry
// (15 twips to a pixel; Qt scales pixels on high-DPI screens) and give the fonts their names.

#include <QColor>
#include <QFont>

class QWidget;

namespace tw {

inline constexpr int kTwipsPerPixel = 15;

constexpr int Px(int twips)
{
    return twips / kTwipsPerPixel;
}

constexpr int Twips(int pixels)
{
    return pixels * kTwipsPerPixel;
}

// Places widget inside its parent; every value in twips.
void SetTwipsGeometry(QWidget *widget, int left, int top, int width, int height);

// Verdana at the given size; Qt falls back to a sans font of similar metrics where it is missing.
QFont VerdanaFont(qreal pointSize, bool bold = false);

// Sets the text colour of a label-like widget (and, when given, the colour behind it).
void SetForeground(QWidget *widget, const QColor &colour);
void SetBackground(QWidget *widget, const QColor &colour);

} // namespace tw
