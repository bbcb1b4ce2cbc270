// quillmarkd: the signing agent without a tray or dialog, for desktops without a tray,
// systemd user services and tests. It replaces older copies of itself, serves until SIGINT
// or SIGTERM, then stops in order.
#include <signal.h>
#include <sysexits.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "platform/autostart.h"
#include "platform/other_copies.h"
#include "server/server_thread.h"
#include "support/module_path.h"

using namespace quillmark;

namespace {

void stopOnTerminate() {
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// True when the entry's [Desktop Entry] group neither hides it (Hidden=true) nor turns it
// off (X-GNOME-Autostart-enabled=false), so the desktop starts it at login.
bool autostartEntryEnabled(std::ifstream& entry) {
    bool inMainGroup = false;
    for (std::string line; std::getline(entry, line);) {
        line = trimmed(line);
        if (!line.empty() && line.front() == '[') {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const auto equals = line.find('=');
        if (!inMainGroup || equals == std::string::npos) continue;
        const std::string key = trimmed(line.substr(0, equals));
        const std::string value = trimmed(line.substr(equals + 1));
        if ((key == "Hidden" && value == "true") ||
            (key == "X-GNOME-Autostart-enabled" && value == "false"))
            return false;
    }
    return true;
}

// The desktop agent's autostart entry when the desktop will start it at login; else empty.
std::string enabledDesktopAgentEntry() {
    const std::string directory = autostartDirectory();
    if (directory.empty()) return {};
    const std::string path = directory + "/Quillmark.desktop";
    std::ifstream entry(path);
    return entry && autostartEntryEnabled(entry) ? path : std::string();
}

}  // namespace

int main() {
    // As a user service (systemd sets INVOCATION_ID) this agent would race the desktop agent
    // for the port at every login when both are enabled; the service gives way, and its exit
    // status tells systemd not to try again.
    if (std::getenv("INVOCATION_ID") != nullptr) {
        if (const std::string entry = enabledDesktopAgentEntry(); !entry.empty()) {
            std::fprintf(stderr,
                         "quillmarkd: not started: the desktop agent QuillmarkXp starts at login "
                         "(%s); enable only one of them, see quillmarkd(1)\n",
                         entry.c_str());
            return EX_CONFIG;
        }
    }

    stopOnTerminate();
    closeOtherInstances(fileNameOf(executablePath()));

    // The thread fails only while setting up, so it ends with an error code at once; a stop
    // request, even one that arrives during start-up, ends it with 0.
    if (startServerThread().get() != 0) {
        std::fprintf(stderr, "%s\n", kStartFailedMessage);
        return 1;
    }
    return 0;
}
