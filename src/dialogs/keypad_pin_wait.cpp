#include "dialogs/keypad_pin_wait.h"

#include <chrono>
#include <string>
#include <vector>

#include "dialogs/assuan_client.h"
#include "dialogs/pin_prompt_texts.h"
#include "dialogs/pinentry_pin_prompter.h"

namespace quillmark {
namespace {

// How often the dialog is closed again until its thread has seen it: it may be starting.
constexpr std::chrono::milliseconds kCloseRetry{20};

// pinentry's MESSAGE shows the description with one button, here labelled as a cancel. No
// time-out of its own: the login's return closes it.
std::vector<std::string> messageSettings(const PinQuestion& question) {
    const PinDialogWords words = pinDialogWords(SecretKind::KeypadPin);
    std::string description = pinDialogDescription(question);
    if (question.afterWrongPin) description = std::string(words.wrongEntry) + "\n" + description;
    return {std::string("SETTITLE ") + words.title, "SETDESC " + escapeAssuanParameter(description),
            std::string("SETOK ") + words.cancel};
}

DialogRun showMessage(PinentryProcess& pinentry, const std::atomic<bool>& loginReturned) {
    if (loginReturned) return DialogRun::Closed;
    if (!pinentry.send("MESSAGE")) return DialogRun::Unusable;
    switch (pinentry.readReply()) {
        case AssuanReply::Ok:
        case AssuanReply::Cancelled:
        case AssuanReply::NotConfirmed:
        case AssuanReply::TimedOut:
            return DialogRun::Answered;  // the user pressed the button or closed the window
        case AssuanReply::Refused:
        case AssuanReply::Broken:
            break;
    }
    return loginReturned ? DialogRun::Closed : DialogRun::Unusable;
}

// How the wait ended, as the keystore reads it: a press of the one button cancels.
PinDialogOutcome waitOutcome(DialogResult result) {
    switch (result) {
        case DialogResult::Answered:
            return PinDialogOutcome::Cancelled;
        case DialogResult::Closed:
            return PinDialogOutcome::Answered;
        case DialogResult::NoProgram:
            break;
    }
    return PinDialogOutcome::NotShown;
}

}  // namespace

KeypadPinWait::KeypadPinWait(const PinQuestion& question, std::function<void()> onEnded) {
    const RequestScope* request = question.context != nullptr ? question.context->request : nullptr;
    DialogSteps steps{messageSettings(question), [this](PinentryProcess& pinentry) {
                          return showMessage(pinentry, loginReturned_);
                      }};
    shown_ = std::async(std::launch::async, [this, steps = std::move(steps), request,
                                             onEnded = std::move(onEnded)] {
        const DialogResult result = runPinentryDialog(steps, request, kNoPinDialogLog);
        ended_ = true;
        onEnded();
        return result;
    });
}

KeypadPinWait::~KeypadPinWait() {
    finish();
}

PinDialogOutcome KeypadPinWait::finish() {
    if (finished_ || !shown_.valid()) return result_;
    finished_ = true;
    loginReturned_ = true;
    // The turn is this request's: the pinentry open now, if any, is this dialog's.
    if (!ended_) {
        do {
            cancelOpenPinentry();
        } while (shown_.wait_for(kCloseRetry) != std::future_status::ready);
    }
    result_ = waitOutcome(shown_.get());
    return result_;
}

}  // namespace quillmark
