#include "keystore/pin_entry.h"

#include <pk11pub.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "keystore/assuan_client.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// On a graphical session a graphical dialog, even where "pinentry" is the curses one.
constexpr const char* kGraphicalPrograms[] = {"pinentry-gnome3", "pinentry-qt",   "pinentry-gtk-2",
                                              "pinentry-x11",    "pinentry-fltk", "pinentry"};
constexpr char kNoDialogLog[] =
    "No usable PIN dialog program; install pinentry-gnome3 or pinentry-qt";

std::string environmentValue(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool graphicalSession() {
    return !environmentValue("DISPLAY").empty() || !environmentValue("WAYLAND_DISPLAY").empty();
}

// The programs to try, in order.
std::vector<const char*> dialogPrograms() {
    if (graphicalSession()) return {std::begin(kGraphicalPrograms), std::end(kGraphicalPrograms)};
    return {"pinentry"};
}

// The OPTION commands a pinentry client gives: the terminal it was started from (for a
// curses dialog), the X display, and the character set of the user's locale.
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

// How one run of a program ended.
enum class Outcome { Pin, Cancelled, Unusable };

// One run of the program: the settings, then GETPIN. A program that is missing, breaks off
// or refuses to show its dialog is unusable; one whose user closed the dialog is not.
Outcome runDialog(const char* program, const std::vector<std::string>& settings, Secret& pin) {
    PinentryProcess pinentry;
    if (!pinentry.start(program) || pinentry.readReply() != AssuanReply::Ok)
        return Outcome::Unusable;
    for (const std::string& setting : settings) {
        if (!pinentry.send(setting)) return Outcome::Unusable;
        const AssuanReply reply = pinentry.readReply();
        // An option the program does not know is no reason to give it up.
        const bool option = setting.compare(0, 7, "OPTION ") == 0;
        if (reply != AssuanReply::Ok && !(option && reply == AssuanReply::Refused))
            return Outcome::Unusable;
    }
    if (!pinentry.send("GETPIN")) return Outcome::Unusable;
    switch (pinentry.readReply(&pin)) {
        case AssuanReply::Ok:
            pinentry.send("BYE");
            pin.markValid();
            return Outcome::Pin;
        case AssuanReply::Cancelled:
            return Outcome::Cancelled;
        default:
            return Outcome::Unusable;
    }
}

std::vector<std::string> dialogSettings(const std::string& description, bool afterWrongPin) {
    std::vector<std::string> settings = sessionOptions();
    settings.push_back(std::string("SETTITLE ") + kPinDialogTitle);
    settings.push_back("SETDESC " + escapeAssuanParameter(description));
    settings.push_back(std::string("SETPROMPT ") + kPinPrompt);
    settings.push_back("SETTIMEOUT " + std::to_string(kPinentryDialogSeconds));
    if (afterWrongPin) settings.push_back(std::string("SETERROR ") + kWrongPinText);
    return settings;
}

unsigned long tokenFlags(PK11SlotInfo* slot) {
    CK_TOKEN_INFO info{};
    return PK11_GetTokenInfo(slot, &info) == SECSuccess ? info.flags : 0;
}

}  // namespace

Secret askPin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin) {
    const std::string description =
        pinDescription(context, PK11_GetTokenName(slot), pinTriesOf(tokenFlags(slot)));
    const std::vector<std::string> settings = dialogSettings(description, afterWrongPin);
    for (const char* program : dialogPrograms()) {
        if (pinentriesClosed()) return Secret();
        Secret pin;
        const Outcome outcome = runDialog(program, settings, pin);
        if (outcome == Outcome::Pin) return pin;
        if (outcome == Outcome::Cancelled) return Secret();
    }
    if (!pinentriesClosed()) writeLog(kNoDialogLog);
    return Secret();
}

void closeOpenPinEntry() {
    closePinentries();
}

}  // namespace quillmark
