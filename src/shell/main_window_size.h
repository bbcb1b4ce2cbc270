#pragma once

#include <QSize>
#include <QString>

namespace quillmark {

// The size the user left the main window at, kept from one run to the next in
// $XDG_STATE_HOME/quillmark/window.ini (by default ~/.local/state/quillmark/, beside the log
// and the signature journal); empty when no home folder is known.
QString mainWindowSizeFile();

// The size kept in the file; invalid when there is none, or none that can be read.
QSize savedMainWindowSize(const QString& file);

// Keeps the size in the file, making its folder (private to the user) when missing; false when
// it could not be written.
bool saveMainWindowSize(const QString& file, const QSize& size);

}  // namespace quillmark
