#include "desktop/autostart.h"

#include <unistd.h>

#include <fstream>
#include <sstream>

#include "support/replace_file.h"
#include "support/user_directories.h"

namespace quillmark {
namespace {

constexpr char kEntryName[] = "Quillmark.desktop";

// Characters that make an Exec argument need quotes.
constexpr char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";

// A text as a string value of the Desktop Entry format, its escapes applied.
std::string stringValue(const std::string& text) {
    std::string value;
    for (const char c : text) {
        switch (c) {
            case '\\':
                value += "\\\\";
                break;
            case '\n':
                value += "\\n";
                break;
            case '\r':
                value += "\\r";
                break;
            case '\t':
                value += "\\t";
                break;
            default:
                value += c;
        }
    }
    return value;
}

std::string entryPath(const std::string& directory) {
    return directory + "/" + kEntryName;
}

// The whole text of a file; empty when it cannot be read.
std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

}  // namespace

std::string autostartDirectory() {
    const std::string config = xdgDirectory("XDG_CONFIG_HOME", ".config");
    return config.empty() ? std::string() : config + "/autostart";
}

std::string execArgument(const std::string& path) {
    std::string argument;
    const bool quoted = path.find_first_of(kReserved, 0, sizeof kReserved - 1) != std::string::npos;
    if (quoted) argument += '"';
    for (const char c : path) {
        if (quoted && (c == '"' || c == '`' || c == '$' || c == '\\')) argument += '\\';
        argument += c;
        if (c == '%') argument += '%';
    }
    if (quoted) argument += '"';
    // The string escapes of a value are undone before the quoting rule, so they go on last.
    return stringValue(argument);
}

AutostartChoices autostartChoicesIn(const std::string& entryText) {
    AutostartChoices choices;
    std::istringstream lines(entryText);
    std::string group;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind('[', 0) == 0) group = trimmed(line);
        const auto equals = line.find('=');
        if (group != "[Desktop Entry]" || line.rfind('#', 0) == 0 || equals == std::string::npos)
            continue;
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if (value != "true" && value != "false") continue;
        if (key == "Hidden") choices.hidden = value;
        if (key == "X-GNOME-Autostart-enabled") choices.gnomeEnabled = value;
    }
    return choices;
}

std::string autostartEntryText(const std::string& executablePath, const AutostartChoices& choices) {
    std::string text =
        "[Desktop Entry]\n"
        "Type=Application\n"
        "Name=Quillmark\n"
        "Comment=Signing agent for web pages\n";
    text += "Exec=" + execArgument(executablePath) + "\n";
    // A desktop skips the entry once the executable is gone instead of failing at every logon.
    text += "TryExec=" + stringValue(executablePath) + "\n";
    text +=
        "Icon=quillmark\n"
        "Terminal=false\n";
    if (!choices.hidden.empty()) text += "Hidden=" + choices.hidden + "\n";
    text += "X-GNOME-Autostart-enabled=" +
            (choices.gnomeEnabled.empty() ? std::string("true") : choices.gnomeEnabled) + "\n";
    return text;
}

std::string enabledAutostartEntry() {
    const std::string directory = autostartDirectory();
    if (directory.empty()) return {};
    const std::string path = entryPath(directory);
    if (access(path.c_str(), F_OK) != 0) return {};
    const AutostartChoices choices = autostartChoicesIn(fileText(path));
    return choices.hidden == "true" || choices.gnomeEnabled == "false" ? std::string() : path;
}

AutostartResult writeAutostartEntry(const std::string& executablePath) {
    const std::string directory = autostartDirectory();
    if (directory.empty() || !makeDirectories(directory) || access(directory.c_str(), W_OK) != 0)
        return AutostartResult::NotOpen;
    if (executablePath.empty()) return AutostartResult::NotSet;
    // The user may have turned autostart off in the entry: a rewrite keeps that choice.
    const std::string text =
        autostartEntryText(executablePath, autostartChoicesIn(fileText(entryPath(directory))));
    if (!replaceFile(directory, kEntryName, text, 0644)) return AutostartResult::NotSet;
    return AutostartResult::Written;
}

}  // namespace quillmark
