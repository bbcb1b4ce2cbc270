#pragma once

#include <secmodt.h>

#include <atomic>
#include <functional>
#include <future>

#include "dialogs/pin_prompt_texts.h"
#include "dialogs/pinentry_dialog.h"
#include "support/dialog_turns.h"

namespace quillmark {

// The dialog shown while the user types a token's PIN on its reader's keypad, until the login
// returns. It takes the request's dialog turn, and shows in a pinentry program, on a thread of
// its own, a dialog without an entry field saying where to type the PIN; its one button
// cancels. `onEnded` is called on that thread when the dialog has ended by itself (cancelled,
// its page gone, no program). Destroying it closes the dialog and gives the turn up.
class KeypadPinWait {
  public:
    KeypadPinWait(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin,
                  std::function<void()> onEnded);
    ~KeypadPinWait();
    KeypadPinWait(const KeypadPinWait&) = delete;
    KeypadPinWait& operator=(const KeypadPinWait&) = delete;

    // False when the request was abandoned or the agent stopped before its turn: nothing shown.
    bool granted() const { return turn_.granted(); }

    // True once the dialog has ended, whether by itself or by finish().
    bool ended() const { return ended_; }

    // Ends the wait: closes the dialog if it is still shown (the login has returned), and
    // tells how it ended: Answered when the user cancelled it, Closed when it was closed (by
    // finish(), or as its page went away), NoProgram when no program could show it.
    DialogResult finish();

  private:
    DialogTurn turn_;
    std::atomic<bool> loginReturned_{false};
    std::atomic<bool> ended_{false};
    std::future<DialogResult> shown_;
    bool finished_ = false;
    DialogResult result_ = DialogResult::Closed;
};

}  // namespace quillmark
