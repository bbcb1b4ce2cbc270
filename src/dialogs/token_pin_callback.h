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
// PIN: a dialog says to type it on the reader while the callback logs in without one (see
// KeypadLogin) and tells NSS the result (PK11_PW_TRY once logged in, PK11_PW_RETRY after a
// wrong PIN). A Cancel answers at once, with the login left to end by itself; the outcome is
// recorded as lastPinDialogOutcome() tells it. A key's own login at each use is NSS's: the
// dialog stays until endKeyUseLogin.
char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* prompt);

// After a signature: closes the keypad dialog of the signing key's own login (a key that asks
// for the PIN at each use), if one was shown. False when the user cancelled it: NSS's login
// could not be broken off, and the signature is refused.
bool endKeyUseLogin();

// True while any request waits at a PIN dialog or for its turn for one, from before it gives
// the store up to after it has taken it back, and while a keypad login is under way: they
// still hold NSS objects (the slot they log in to, the certificate whose key is looked for),
// so NSS must not be shut down under them.
bool pinDialogsWaiting();

}  // namespace quillmark
