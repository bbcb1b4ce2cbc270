#include "dialogs/token_pin_callback.h"

#include <secport.h>

#include <atomic>

#include "dialogs/assuan_client.h"
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

}  // namespace

char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* prompt) {
    if (!retry)
        retriesOfThisLogin = 0;
    else if (++retriesOfThisLogin > kMaxRetries)
        return nullptr;
    const auto* context = static_cast<const PinPromptContext*>(prompt);
    const AtPinDialog waiting;
    // One dialog at a time, in request order.
    const DialogTurn turn(context != nullptr ? context->request : nullptr, cancelOpenPinentry);
    if (!turn.granted()) return nullptr;
    const Secret pin = askPin(slot, context, retry == PR_TRUE);
    if (!pin.valid()) return nullptr;
    // NSS wipes and frees the copy it is given.
    return PORT_Strdup(pin.text());
}

bool pinDialogsWaiting() {
    return requestsAtPinDialogs > 0;
}

}  // namespace quillmark
