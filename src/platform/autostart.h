#pragma once

#include <string>

namespace quillmark {

// The desktop agent starts when the user logs in through an XDG autostart entry,
// Quillmark.desktop, whose Exec key holds the whole path of the executable.

enum class AutostartResult {
    Written,
    NotOpen,  // the autostart directory cannot be found, created or written to
    NotSet,   // the entry file cannot be written
};

// $XDG_CONFIG_HOME/autostart, or ~/.config/autostart when that is unset or not absolute;
// empty when no home directory is known.
std::string autostartDirectory();

// Writes (or replaces) the entry for the given executable. The file is replaced whole, so a
// failure never leaves a partial entry behind.
AutostartResult writeAutostartEntry(const std::string& executablePath);

// The path as one argument of an Exec key: quoted and escaped as the Desktop Entry format
// requires when it holds a reserved character, with '%' doubled and the string escapes of
// the format applied.
std::string execArgument(const std::string& path);

// The whole text of the entry.
std::string autostartEntryText(const std::string& executablePath);

}  // namespace quillmark
