#pragma once

// The built-in pictures of the windows, drawn from the SVG files compiled in as resources.

#include <QIcon>
#include <QPixmap>

namespace tw {

// 48 x 42: a green arrow pointing right above the word START.
QPixmap StartPicture();
// 48 x 42: a red square above the word STOP.
QPixmap StopPicture();
// 79 x 24: HTTP:// in black bold capitals on a transparent ground.
QPixmap HttpPicture();
// The program icon, a magenta spiral inside an octagon, at the usual icon sizes.
QIcon ProgramIcon();

} // namespace tw
