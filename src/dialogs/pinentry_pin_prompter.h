#pragma once

#include <functional>
#include <memory>
#include <string>

#include "keystore/pin_prompter.h"

namespace quillmark {

// Asks for PINs over the Assuan protocol of a pinentry program; one run of the program per
// dialog. On a graphical session (DISPLAY or WAYLAND_DISPLAY set) the graphical pinentry
// programs are tried first, then "pinentry"; a program that cannot show its dialog (a curses
// one without a terminal) gives way to the next. After a wrong PIN the dialog says so. When no
// program could ask, the log names what to install. The agent's stop (closePinentries) closes
// its dialogs too.
class PinentryPinPrompter : public PinPrompter {
  public:
    PinDialogOutcome askPin(const PinQuestion& question, Secret& pin) override;
    std::unique_ptr<KeypadWaitDialog> showKeypadWait(const PinQuestion& question,
                                                     std::function<void()> onEnded) override;
    void closeShown() override;
};

// The log line when no program could show a PIN dialog.
inline constexpr char kNoPinDialogLog[] =
    "No usable PIN dialog program; install pinentry-gnome3 or pinentry-qt";

// The PIN dialog's description for the question (see pinDescription).
std::string pinDialogDescription(const PinQuestion& question);

}  // namespace quillmark
