#include "dialogs/pinentry_pin_prompter.h"

#include <string>
#include <vector>

#include "dialogs/assuan_client.h"
#include "dialogs/keypad_pin_wait.h"
#include "dialogs/pin_prompt_texts.h"
#include "dialogs/pinentry_dialog.h"

namespace quillmark {
namespace {

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

std::vector<std::string> dialogSettings(const PinQuestion& question) {
    const PinDialogWords words = pinDialogWords(question.kind);
    std::vector<std::string> settings;
    settings.push_back(std::string("SETTITLE ") + words.title);
    settings.push_back("SETDESC " + escapeAssuanParameter(pinDialogDescription(question)));
    settings.push_back(std::string("SETPROMPT ") + words.prompt);
    settings.push_back(std::string("SETOK ") + words.ok);
    settings.push_back(std::string("SETCANCEL ") + words.cancel);
    settings.push_back("SETTIMEOUT " + std::to_string(kPinentryDialogSeconds));
    if (question.afterWrongPin) settings.push_back(std::string("SETERROR ") + words.wrongEntry);
    return settings;
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

const RequestScope* requestOf(const PinQuestion& question) {
    return question.context != nullptr ? question.context->request : nullptr;
}

}  // namespace

std::string pinDialogDescription(const PinQuestion& question) {
    // The user's own store is named in the dialog's words: its token label means nothing.
    const std::string label =
        question.kind == SecretKind::StorePassword ? kOwnStoreName : question.tokenLabel;
    return pinDescription(question.context, label, question.kind, question.tries);
}

PinDialogOutcome PinentryPinPrompter::askPin(const PinQuestion& question, Secret& pin) {
    const auto ask = [&pin](PinentryProcess& pinentry) {
        pin.clear();  // wipes what a program that broke off left
        return getPin(pinentry, pin);
    };
    const DialogResult result =
        runPinentryDialog({dialogSettings(question), ask}, requestOf(question), kNoPinDialogLog);
    if (result != DialogResult::Answered) pin.clear();
    return outcomeOf(result);
}

std::unique_ptr<KeypadWaitDialog> PinentryPinPrompter::showKeypadWait(
    const PinQuestion& question, std::function<void()> onEnded) {
    return std::make_unique<KeypadPinWait>(question, std::move(onEnded));
}

void PinentryPinPrompter::closeShown() {
    cancelOpenPinentry();
}

}  // namespace quillmark
