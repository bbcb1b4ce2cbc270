#include "keystore/pin_entry.h"

#include <pk11pub.h>

#include <optional>
#include <string>
#include <vector>

#include "keystore/pinentry_dialog.h"

namespace quillmark {
namespace {

constexpr char kNoDialogLog[] =
    "No usable PIN dialog program; install pinentry-gnome3 or pinentry-qt";

// GETPIN, the PIN going into `pin`.
DialogRun getPin(PinentryProcess& pinentry, Secret& pin) {
    if (!pinentry.send("GETPIN")) return DialogRun::Unusable;
    switch (pinentry.readReply(&pin)) {
        case AssuanReply::Ok:
            pinentry.send("BYE");
            pin.markValid();
            return DialogRun::Answered;
        case AssuanReply::Cancelled:
        case AssuanReply::NotConfirmed:
        case AssuanReply::TimedOut:
            return DialogRun::Closed;
        default:
            return DialogRun::Unusable;
    }
}

std::vector<std::string> dialogSettings(const std::string& description, bool afterWrongPin) {
    std::vector<std::string> settings;
    settings.push_back(std::string("SETTITLE ") + kPinDialogTitle);
    settings.push_back("SETDESC " + escapeAssuanParameter(description));
    settings.push_back(std::string("SETPROMPT ") + kPinPrompt);
    settings.push_back("SETTIMEOUT " + std::to_string(kPinentryDialogSeconds));
    if (afterWrongPin) settings.push_back(std::string("SETERROR ") + kWrongPinText);
    return settings;
}

std::string tokenNameShown(PK11SlotInfo* slot) {
    return PK11_IsInternalKeySlot(slot) ? kOwnStoreName : PK11_GetTokenName(slot);
}

// The outcome of this thread's last dialog: NSS reports a cancelled dialog as a wrong PIN.
thread_local bool lastDialogCancelled = false;

unsigned long tokenFlags(PK11SlotInfo* slot) {
    CK_TOKEN_INFO info{};
    return PK11_GetTokenInfo(slot, &info) == SECSuccess ? info.flags : 0;
}

}  // namespace

Secret askPin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin) {
    const std::string description =
        pinDescription(context, tokenNameShown(slot), pinTriesOf(tokenFlags(slot)));
    std::optional<Secret> pin;
    const auto ask = [&pin](PinentryProcess& pinentry) {
        pin.emplace();  // wipes what a program that broke off left
        return getPin(pinentry, *pin);
    };
    const DialogResult result =
        runPinentryDialog({dialogSettings(description, afterWrongPin), ask}, kNoDialogLog);
    lastDialogCancelled = result == DialogResult::Closed;
    if (result != DialogResult::Answered) return Secret();
    return std::move(*pin);
}

void forgetPinDialogCancel() {
    lastDialogCancelled = false;
}

bool pinDialogCancelled() {
    return lastDialogCancelled;
}

}  // namespace quillmark
