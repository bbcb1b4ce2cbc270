#pragma once

#include <atomic>
#include <functional>
#include <future>

#include "dialogs/pinentry_dialog.h"
#include "keystore/pin_prompter.h"

namespace quillmark {

// The dialog shown while the user types a token's PIN on its reader's keypad, until the login
// returns: a pinentry program shows, on a thread of its own, a dialog without an entry field
// saying where to type the PIN; its one button cancels. `onEnded` is called on that thread
// when the dialog has ended by itself (cancelled, its page gone, no program). Destroying it
// closes the dialog.
class KeypadPinWait : public KeypadWaitDialog {
  public:
    KeypadPinWait(const PinQuestion& question, std::function<void()> onEnded);
    ~KeypadPinWait() override;
    KeypadPinWait(const KeypadPinWait&) = delete;
    KeypadPinWait& operator=(const KeypadPinWait&) = delete;

    bool ended() const override { return ended_; }

    // Ends the wait: closes the dialog if it is still shown (the login has returned), and
    // tells how it ended: Cancelled when the user pressed its button, Answered when it was
    // closed (by finish(), or as its page went away), NotShown when no program could show it.
    PinDialogOutcome finish() override;

  private:
    std::atomic<bool> loginReturned_{false};
    std::atomic<bool> ended_{false};
    std::future<DialogResult> shown_;
    bool finished_ = false;
    PinDialogOutcome result_ = PinDialogOutcome::Answered;
};

}  // namespace quillmark
