#include "dialogs/token_pin_callback.h"

#include <pk11pub.h>
#include <secport.h>

#include <atomic>
#include <memory>

#include "dialogs/assuan_client.h"
#include "dialogs/keypad_pin_wait.h"
#include "dialogs/pin_entry.h"
#include "support/dialog_turns.h"

namespace quillmark {
namespace {

std::atomic<int> requestsAtPinDialogs{0};

// Counts the calling request among them while it waits.
class AtPinDialog {
  public:
    AtPinDialog() { ++requestsAtPinDialogs; }
    ~AtPinDialog() { --requestsAtPinDialogs; }
    AtPinDialog(const AtPinDialog&) = delete;
    AtPinDialog& operator=(const AtPinDialog&) = delete;
};

thread_local int retriesOfThisLogin = 0;
constexpr int kMaxRetries = 1;

// A keypad login under way on this thread: the request still uses NSS while it waits.
struct KeypadLogin {
    const AtPinDialog waiting;
    KeypadPinWait wait;

    KeypadLogin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin)
        : wait(slot, context, afterWrongPin) {}
};
thread_local std::unique_ptr<KeypadLogin> keypadLogin;

PinDialogOutcome outcomeOf(DialogResult result) {
    switch (result) {
        case DialogResult::Answered:
            return PinDialogOutcome::Cancelled;  // the dialog's one button cancels
        case DialogResult::NoProgram:
            return PinDialogOutcome::NotShown;
        case DialogResult::Closed:
            break;
    }
    return PinDialogOutcome::Answered;  // the user typed on the keypad, or the reader gave up
}

// Shows the keypad dialog and has NSS log in without a PIN; the dialog stays until
// endKeypadPinWait.
char* startKeypadLogin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin) {
    auto login = std::make_unique<KeypadLogin>(slot, context, afterWrongPin);
    if (!login->wait.granted()) return nullptr;
    keypadLogin = std::move(login);
    return PORT_Strdup(PK11_PW_TRY);
}

}  // namespace

char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* prompt) {
    // Asked again, NSS's keypad login returned a wrong PIN: a cancelled dialog ends it there.
    if (keypadLogin && endKeypadPinWait() == PinDialogOutcome::Cancelled) return nullptr;
    if (!retry)
        retriesOfThisLogin = 0;
    else if (++retriesOfThisLogin > kMaxRetries)
        return nullptr;
    const auto* context = static_cast<const PinPromptContext*>(prompt);
    if (PK11_ProtectedAuthenticationPath(slot))
        return startKeypadLogin(slot, context, retry == PR_TRUE);
    const AtPinDialog waiting;
    // One dialog at a time, in request order.
    const DialogTurn turn(context != nullptr ? context->request : nullptr, cancelOpenPinentry);
    if (!turn.granted()) return nullptr;
    const Secret pin = askPin(slot, context, retry == PR_TRUE);
    if (!pin.valid()) return nullptr;
    // NSS wipes and frees the copy it is given.
    return PORT_Strdup(pin.text());
}

PinDialogOutcome endKeypadPinWait() {
    if (!keypadLogin) return lastPinDialogOutcome();
    const PinDialogOutcome outcome = outcomeOf(keypadLogin->wait.finish());
    keypadLogin.reset();
    recordPinDialogOutcome(outcome);
    return outcome;
}

bool pinDialogsWaiting() {
    return requestsAtPinDialogs > 0;
}

}  // namespace quillmark
