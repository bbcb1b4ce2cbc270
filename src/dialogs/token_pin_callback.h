#pragma once

#include <prtypes.h>
#include <secmodt.h>

#include "dialogs/pin_entry.h"

namespace quillmark {

// NSS's password callback (PK11_SetPasswordFunc): asks for the PIN of the slot's token in
// the request's dialog turn, one dialog at a time in request order. `prompt` is the key
// lookup's PinPromptContext, or null. After a wrong PIN NSS asks again with `retry` set; the
// user gets one more try, then the key lookup fails. Null when the user cancels, no dialog
// could ask, or the turn was not granted.
// A token whose reader has a keypad (a protected authentication path) is not asked for its
// PIN: a dialog says to type it on the reader, and NSS is told to log in without one
// (PK11_PW_TRY). The dialog stays, holding the turn, until endKeypadPinWait().
char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* prompt);

// Called once NSS's work that may log in has returned: closes this thread's keypad dialog, if
// any, and records how it ended (lastPinDialogOutcome): Cancelled when the user cancelled it,
// else Answered. Returns that outcome (or the last one when there was no keypad dialog).
PinDialogOutcome endKeypadPinWait();

// True while any request waits at a PIN dialog or for its turn for one, from before it gives
// the store up to after it has taken it back: it still holds NSS objects (the slot it logs in
// to, the certificate whose key it looks for), so NSS must not be shut down under it.
bool pinDialogsWaiting();

}  // namespace quillmark
