#pragma once
// Whether the program has a display for its windows. Without one the window system's library
// ends the process with an abort and a message about plugins; the user hears instead, on the
// error output, that there is no display and what to do, and the process ends with status 1.
#include <QByteArray>
#include <QString>

namespace sendmere {

// Why there is no display for the window system platform and the display variables given
// (empty when there may be one): the platforms that need a display server, xcb and wayland
// (the default when none is named), need DISPLAY or WAYLAND_DISPLAY.
QString missingDisplayReason(const QByteArray &platform, const QByteArray &display, const QByteArray &waylandDisplay);

// Call before the application object exists: ends the process as above when the environment
// names no display, and until displayOpened() also when the display named cannot be opened.
void requireDisplay();
void displayOpened();

}  // namespace sendmere
