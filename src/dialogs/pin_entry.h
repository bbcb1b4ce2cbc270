#pragma once

#include <secmodt.h>

#include <string>

#include "dialogs/pin_prompt_texts.h"
#include "support/secret.h"

namespace quillmark {

// How a PIN dialog ended.
enum class PinDialogOutcome { NotAsked, Answered, Cancelled, NotShown };

// Asks the user for the PIN of the slot's token, over the Assuan protocol of a pinentry
// program; one run of the program per call. On a graphical session (DISPLAY or
// WAYLAND_DISPLAY set) the graphical pinentry programs are tried first, then "pinentry"; a
// program that cannot show its dialog (a curses one without a terminal) gives way to the
// next. After a wrong PIN the dialog says so. An invalid Secret when the user cancels or
// no program could ask (then the log names what to install), `outcome` telling which.
// `context` may be null.
Secret askPin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin,
              PinDialogOutcome& outcome);

// The PIN dialog's description for the slot's token (see pinDescription).
std::string pinDialogDescription(PK11SlotInfo* slot, const PinPromptContext* context,
                                 SecretKind kind);

}  // namespace quillmark
