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

// Writes (or replaces) the entry for the given executable, keeping the user's choices of an
// entry already there. The file is replaced whole, so a failure never leaves a partial entry
// behind.
AutostartResult writeAutostartEntry(const std::string& executablePath);

// The path as one argument of an Exec key: quoted and escaped as the Desktop Entry format
// requires when it holds a reserved character, with '%' doubled and the string escapes of
// the format applied.
std::string execArgument(const std::string& path);

// What the user chose in an entry already there, which a rewrite keeps: the value ("true" or
// "false") of Hidden and of X-GNOME-Autostart-enabled, or empty when the key is absent or its
// value is not a boolean.
struct AutostartChoices {
    std::string hidden;
    std::string gnomeEnabled;
};

AutostartChoices autostartChoicesIn(const std::string& entryText);

// The whole text of the entry: the keys the program owns (Exec and TryExec with the path
// among them), then the user's choices; autostart is enabled where the user chose nothing.
std::string autostartEntryText(const std::string& executablePath,
                               const AutostartChoices& choices = {});

// The entry's path when it exists and the desktop will start it at login (the user turned
// it off neither with Hidden=true nor with X-GNOME-Autostart-enabled=false); else empty.
std::string enabledAutostartEntry();

}  // namespace quillmark
