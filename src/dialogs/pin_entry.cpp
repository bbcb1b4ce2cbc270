#include "dialogs/pin_entry.h"

#include <pk11pub.h>

#include <optional>
#include <string>
#include <vector>

#include "dialogs/pinentry_dialog.h"

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

std::vector<std::string> dialogSettings(const std::string& description, SecretKind kind,
                                        bool afterWrongPin) {
    const PinDialogWords words = pinDialogWords(kind);
    std::vector<std::string> settings;
    settings.push_back(std::string("SETTITLE ") + words.title);
    settings.push_back("SETDESC " + escapeAssuanParameter(description));
    settings.push_back(std::string("SETPROMPT ") + words.prompt);
    settings.push_back(std::string("SETOK ") + words.ok);
    settings.push_back(std::string("SETCANCEL ") + words.cancel);
    settings.push_back("SETTIMEOUT " + std::to_string(kPinentryDialogSeconds));
    if (afterWrongPin) settings.push_back(std::string("SETERROR ") + words.wrongEntry);
    return settings;
}

// NSS's own database has a password, shown under the store's own name; a token has a PIN.
SecretKind secretKindOf(PK11SlotInfo* slot) {
    return PK11_IsInternalKeySlot(slot) ? SecretKind::StorePassword : SecretKind::TokenPin;
}

std::string tokenNameShown(PK11SlotInfo* slot) {
    return PK11_IsInternalKeySlot(slot) ? kOwnStoreName : PK11_GetTokenName(slot);
}

PinDialogOutcome outcomeOf(DialogResult result) {
    switch (result) {
        case DialogResult::Answered:
            return PinDialogOutcome::Answered;
        case DialogResult::Closed:
            return PinDialogOutcome::Cancelled;
        case DialogResult::NoProgram:
            break;
    }
    return PinDialogOutcome::NotShown;
}

unsigned long tokenFlags(PK11SlotInfo* slot) {
    CK_TOKEN_INFO info{};
    return PK11_GetTokenInfo(slot, &info) == SECSuccess ? info.flags : 0;
}

}  // namespace

std::string pinDialogDescription(PK11SlotInfo* slot, const PinPromptContext* context,
                                 SecretKind kind) {
    return pinDescription(context, tokenNameShown(slot), kind, pinTriesOf(tokenFlags(slot)));
}

Secret askPin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin,
              PinDialogOutcome& outcome) {
    const SecretKind kind = secretKindOf(slot);
    const std::string description = pinDialogDescription(slot, context, kind);
    std::optional<Secret> pin;
    const auto ask = [&pin](PinentryProcess& pinentry) {
        pin.emplace();  // wipes what a program that broke off left
        return getPin(pinentry, *pin);
    };
    const DialogResult result =
        runPinentryDialog({dialogSettings(description, kind, afterWrongPin), ask},
                          context != nullptr ? context->request : nullptr, kNoDialogLog);
    outcome = outcomeOf(result);
    if (result != DialogResult::Answered) return Secret();
    return std::move(*pin);
}

}  // namespace quillmark
