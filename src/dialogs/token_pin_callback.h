#pragma once

#include <prtypes.h>
#include <secmodt.h>

namespace quillmark {

// NSS's password callback (PK11_SetPasswordFunc): asks for the PIN of the slot's token in
// the request's dialog turn, one dialog at a time in request order. `prompt` is the key
// lookup's PinPromptContext, or null. After a wrong PIN NSS asks again with `retry` set; the
// user gets one more try, then the key lookup fails. Null when the user cancels, no dialog
// could ask, or the turn was not granted.
char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* prompt);

// True while any request waits at a PIN dialog or for its turn for one, from before it gives
// the store up to after it has taken it back: it still holds NSS objects (the slot it logs in
// to, the certificate whose key it looks for), so NSS must not be shut down under it.
bool pinDialogsWaiting();

}  // namespace quillmark
