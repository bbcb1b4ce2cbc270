#include "platform/autostart.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/user_directories.h"
#include "support/write_all.h"

namespace quillmark {
namespace {

constexpr char kEntryName[] = "Quillmark.desktop";

// Characters that make an Exec argument need quotes.
constexpr char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";

// Writes a temporary file beside the entry and renames it over the entry.
bool replaceFile(const std::string& directory, const std::string& text) {
    std::string temporary = directory + "/." + kEntryName + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) return false;
    const bool written = fchmod(fd, 0644) == 0 && writeAll(fd, text) && fsync(fd) == 0;
    const bool closed = close(fd) == 0;
    if (written && closed && rename(temporary.c_str(), (directory + "/" + kEntryName).c_str()) == 0)
        return true;
    unlink(temporary.c_str());
    return false;
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
    std::string value;
    for (const char c : argument) {
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

std::string autostartEntryText(const std::string& executablePath) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Quillmark\n"
           "Comment=Signing agent for web pages\n"
           "Exec=" +
           execArgument(executablePath) +
           "\n"
           "Icon=quillmark\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

AutostartResult writeAutostartEntry(const std::string& executablePath) {
    const std::string directory = autostartDirectory();
    if (directory.empty() || !makeDirectories(directory) || access(directory.c_str(), W_OK) != 0)
        return AutostartResult::NotOpen;
    if (executablePath.empty() || !replaceFile(directory, autostartEntryText(executablePath)))
        return AutostartResult::NotSet;
    return AutostartResult::Written;
}

}  // namespace quillmark
