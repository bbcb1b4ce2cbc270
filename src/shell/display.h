#pragma once

namespace quillmark {

// True when the Qt platform the desktop agent will use can open a display. Qt ends the
// process when it cannot, so start-up checks first. A platform chosen in QT_QPA_PLATFORM
// other than X11 is taken as it is.
bool displayAvailable();

}  // namespace quillmark
