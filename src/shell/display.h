#pragma once

#include <string>

namespace quillmark {

// Picks the Qt display platform the desktop agent will use, before Qt starts: Qt ends the
// process when its platform cannot open a display. Returns the empty text when a display can
// be opened, or why none can, for a one-line message.
//
// A platform chosen in QT_QPA_PLATFORM is kept (X11 and Wayland are checked first). Otherwise
// a Wayland display is used where Qt's wayland platform is installed and no X11 display opens;
// where both open, Qt chooses (Wayland on a Wayland session, XWayland on GNOME's); where only
// X11 opens, X11 is set, since Qt would try Wayland on a Wayland session even without its
// platform.
std::string chooseDisplayPlatform();

}  // namespace quillmark
