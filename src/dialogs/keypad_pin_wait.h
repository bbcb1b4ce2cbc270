#pragma once

#include <secmodt.h>

#include <atomic>
#include <future>

#include "dialogs/pin_prompt_texts.h"
#include "dialogs/pinentry_dialog.h"
#include "support/dialog_turns.h"

namespace quillmark {

// The wait while the user types a token's PIN on its reader's keypad, from NSS's password
// callback until the login NSS then makes (C_Login without a PIN) returns. It takes the
// request's dialog turn, and shows in a pinentry program, on a thread of its own since the
// login cannot start before the callback returns, a dialog without an entry field saying where
// to type the PIN; its one button cancels. Destroying it closes the dialog and gives the turn up.
class KeypadPinWait {
  public:
    KeypadPinWait(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin);
    ~KeypadPinWait();
    KeypadPinWait(const KeypadPinWait&) = delete;
    KeypadPinWait& operator=(const KeypadPinWait&) = delete;

    // False when the request was abandoned or the agent stopped before its turn: nothing shown.
    bool granted() const { return turn_.granted(); }

    // Ends the wait: the login has returned. The dialog closes; how it ended is returned:
    // Answered when the user cancelled it, Closed when the login ended first or its page went
    // away, NoProgram when no program could show it.
    DialogResult finish();

  private:
    DialogTurn turn_;
    std::atomic<bool> loginReturned_{false};
    std::future<DialogResult> shown_;
    bool finished_ = false;
    DialogResult result_ = DialogResult::Closed;
};

}  // namespace quillmark
