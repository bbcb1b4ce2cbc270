#pragma once

#include <QIcon>

namespace quillmark {

// The icon installed in the hicolor theme, whose name a D-Bus tray passes on to its host; the
// copy compiled into the program (icons/quillmark.qrc) where the theme does not have it.
QIcon applicationIcon();

}  // namespace quillmark
