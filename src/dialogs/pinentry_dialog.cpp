#include "dialogs/pinentry_dialog.h"

#include <unistd.h>

#include <array>
#include <cstdlib>
#include <sstream>

#include "support/dialog_turns.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// A user service started before the desktop handed its environment to the user manager has
// neither variable: the dialog programs are there, the session is not.
constexpr char kNoSessionLog[] =
    "No PIN dialog: no graphical session (DISPLAY and WAYLAND_DISPLAY are not set); pass it "
    "to the user service with: systemctl --user import-environment DISPLAY WAYLAND_DISPLAY "
    "XAUTHORITY";

// On a graphical session a graphical dialog, even where "pinentry" is the curses one.
constexpr const char* kGraphicalPrograms[] = {"pinentry-gnome3", "pinentry-qt",   "pinentry-gtk-2",
                                              "pinentry-x11",    "pinentry-fltk", "pinentry"};

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

// A program to try and how it is asked.
struct DialogProgram {
    std::string program;
    const DialogSteps* steps;
};

// The programs to try, in order.
std::vector<DialogProgram> dialogPrograms(const DialogSteps& steps, const OwnDialogProgram* own,
                                          const char* unsuitable) {
    if (!graphicalSession()) return {{"pinentry", &steps}};
    std::vector<DialogProgram> programs;
    if (own != nullptr) programs.push_back({own->path, &own->steps});
    for (const char* program : kGraphicalPrograms) {
        if (unsuitable == nullptr || std::string(program) != unsuitable)
            programs.push_back({program, &steps});
    }
    return programs;
}

// Starts the program for the request and gives it the settings; false when it cannot be used.
bool prepare(PinentryProcess& pinentry, const char* program, const RequestScope* request,
             const std::vector<std::string>& settings) {
    if (!pinentry.start(program, request) || pinentry.readReply() != AssuanReply::Ok) return false;
    for (const std::string& setting : settings) {
        if (!pinentry.send(setting)) return false;
        const AssuanReply reply = pinentry.readReply();
        // An option the program does not know is no reason to give it up.
        const bool option = setting.compare(0, 7, "OPTION ") == 0;
        if (reply != AssuanReply::Ok && !(option && reply == AssuanReply::Refused)) return false;
    }
    return true;
}

// The program's file on PATH, as posix_spawnp finds it.
bool onPath(const std::string& program) {
    std::stringstream folders(environmentValue("PATH"));
    for (std::string folder; std::getline(folders, folder, ':');) {
        if (access(((folder.empty() ? "." : folder) + "/" + program).c_str(), X_OK) == 0)
            return true;
    }
    return false;
}

}  // namespace

bool graphicalSession() {
    return !environmentValue("DISPLAY").empty() || !environmentValue("WAYLAND_DISPLAY").empty();
}

std::vector<std::string> installedGraphicalPinentries() {
    std::vector<std::string> installed;
    for (const char* program : kGraphicalPrograms) {
        if (onPath(program)) installed.push_back(program);
    }
    return installed;
}

std::vector<std::string> sessionOptions() {
    std::vector<std::string> options;
    std::array<char, 256> terminal{};
    if (isatty(STDIN_FILENO) && ttyname_r(STDIN_FILENO, terminal.data(), terminal.size()) == 0) {
        options.push_back(std::string("OPTION ttyname=") + terminal.data());
        if (const std::string type = environmentValue("TERM"); !type.empty())
            options.push_back("OPTION ttytype=" + type);
    }
    if (const std::string display = environmentValue("DISPLAY"); !display.empty())
        options.push_back("OPTION display=" + display);
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        if (const std::string locale = environmentValue(name); !locale.empty()) {
            options.push_back("OPTION lc-ctype=" + locale);
            break;
        }
    }
    return options;
}

DialogResult runPinentryDialog(const DialogSteps& steps, const RequestScope* request,
                               const char* noProgramLog, const OwnDialogProgram* own,
                               const char* unsuitable) {
    const unsigned cancellations = pinentryCancellations();
    const auto closed = [cancellations, request] {
        return pinentriesClosed() || pinentryCancellations() != cancellations ||
               requestAbandoned(request);
    };
    for (const DialogProgram& program : dialogPrograms(steps, own, unsuitable)) {
        if (closed()) return DialogResult::Closed;
        std::vector<std::string> commands = sessionOptions();
        const std::vector<std::string>& settings = program.steps->settings;
        commands.insert(commands.end(), settings.begin(), settings.end());
        PinentryProcess pinentry;
        const DialogRun run = prepare(pinentry, program.program.c_str(), request, commands)
                                  ? program.steps->ask(pinentry)
                                  : DialogRun::Unusable;
        if (run == DialogRun::Answered) return DialogResult::Answered;
        if (run == DialogRun::Closed) return DialogResult::Closed;
    }
    if (closed()) return DialogResult::Closed;
    writeLog(graphicalSession() ? noProgramLog : kNoSessionLog);
    return DialogResult::NoProgram;
}

}  // namespace quillmark
