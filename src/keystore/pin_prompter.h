#pragma once

#include <functional>
#include <memory>
#include <string>

#include "support/dialog_turns.h"
#include "support/secret.h"

namespace quillmark {

// Who the PIN dialog says asks for the PIN. One goes into each request's PinSession and must
// outlive the keys found with it: NSS keeps the session in the key and may ask again while
// signing.
struct PinPromptContext {
    // The requesting page's origin as its browser sent it (the HTTP `Origin` header, or the
    // WebSocket handshake's); empty when the request came without one: a local program.
    std::string origin;
    // The certificate's display name; empty when not known.
    std::string certificateName;
    // The request that needs the PIN (its PinSession sets it from the store handle): a dialog
    // for a request abandoned meanwhile does not open. Null outside any runner.
    const RequestScope* request = nullptr;
};

// What a token reports about the tries left before its user PIN locks.
enum class PinTries { NotReported, Low, FinalTry, Locked };

// From the token's CK_TOKEN_INFO flags (CKF_USER_PIN_COUNT_LOW, _FINAL_TRY, _LOCKED).
PinTries pinTriesOf(unsigned long tokenFlags);

// What the dialog asks for: the password of the user's own store (NSS's database), a token's
// PIN, or a token's PIN typed on its reader's keypad (the dialog then has no entry field).
enum class SecretKind { StorePassword, TokenPin, KeypadPin };

// How a PIN dialog ended. A keypad wait is Answered when it was closed because the login
// returned or its page went away, and Cancelled when the user pressed its button.
enum class PinDialogOutcome { NotAsked, Answered, Cancelled, NotShown };

// One PIN dialog's question: who asks (null: a local program, no certificate named), the
// token's label (the prompter names the user's own store in its own words), what is asked,
// the tries left, and whether the last entry was wrong.
struct PinQuestion {
    const PinPromptContext* context;
    std::string tokenLabel;
    SecretKind kind;
    PinTries tries;
    bool afterWrongPin;
};

// The dialog shown while the user types the PIN on the reader's keypad.
class KeypadWaitDialog {
  public:
    virtual ~KeypadWaitDialog() = default;

    // True once the dialog has ended, by itself or by finish().
    virtual bool ended() const = 0;

    // Closes the dialog if it is still shown, and tells how it ended.
    virtual PinDialogOutcome finish() = 0;
};

// What the keystore asks the user through. The keystore takes the request's dialog turn
// before it calls askPin or showKeypadWait, and gives it up after.
class PinPrompter {
  public:
    virtual ~PinPrompter() = default;

    // Asks for the password or PIN; Answered with `pin` filled, or why there is none.
    virtual PinDialogOutcome askPin(const PinQuestion& question, Secret& pin) = 0;

    // Shows the keypad dialog until finish(). `onEnded` is called, on any thread, when the
    // dialog ends by itself. Null when nothing could be started.
    virtual std::unique_ptr<KeypadWaitDialog> showKeypadWait(const PinQuestion& question,
                                                             std::function<void()> onEnded) = 0;

    // Closes the dialog shown now: its request was abandoned. Any thread; must not block.
    virtual void closeShown() = 0;
};

}  // namespace quillmark
