#pragma once

#include <prtypes.h>
#include <secmodt.h>

#include <memory>

#include "keystore/pin_prompter.h"

namespace quillmark {

class KeypadWait;
class StoreHandle;
struct CertificateStore;

// One request's dealings with the PIN callback. It goes to NSS as the password argument
// (wincx) of every call that may log in, and NSS hands it back to askTokenPin at each of its
// calls: what the request's dialogs name and the prompter that shows them (null: none can be
// shown), what the callback keeps from one of its calls to the next, and how the request's
// last PIN dialog ended. Only the callback changes it.
struct PinSession {
    // The context's request is the store handle's.
    PinSession(const StoreHandle& store, PinPromptContext prompt, PinPrompter* prompter);
    ~PinSession();
    PinSession(const PinSession&) = delete;
    PinSession& operator=(const PinSession&) = delete;

    // After a signature: closes the keypad dialog of the signing key's own login (a key that
    // asks for the PIN at each use), if one was shown. False when the user cancelled it: NSS's
    // login could not be broken off, and the signature is refused.
    bool endKeyUseLogin();

    const StoreHandle& store;
    PinPromptContext context;
    PinPrompter* const prompter;
    // How the last PIN dialog ended. NSS reports a cancelled dialog, and one no program could
    // show, with the error of a wrong PIN.
    PinDialogOutcome outcome = PinDialogOutcome::NotAsked;
    int retries = 0;  // of the login under way
    // The reader ended the last keypad login otherwise than with a wrong PIN: NSS, told to ask
    // again, is then refused, which keeps the error set for it.
    bool keypadLoginFailed = false;
    std::unique_ptr<KeypadWait> keyUseLogin;  // a key's own login, shown until endKeyUseLogin
};

// NSS's password callback (PK11_SetPasswordFunc): asks for the PIN of the slot's token through
// the session's prompter in the request's dialog turn, one dialog at a time in request order.
// `session` is the request's PinSession; without one nothing is asked. After a wrong PIN NSS asks
// again with `retry` set; the user gets one more try, then the key lookup fails. Null when the user
// cancels, no dialog could ask, or the turn was not granted. A token whose reader has a keypad (a
// protected authentication path) is not asked for its PIN: a dialog says to type it on the reader
// while the callback logs in without one (see KeypadLogin) and tells NSS the result (PK11_PW_TRY
// once logged in, PK11_PW_RETRY after a wrong PIN). A Cancel answers at once, with the login left
// to end by itself; the session's outcome tells it. A key's own login at each use is NSS's: the
// dialog stays until the session's endKeyUseLogin.
char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* session);

// True while any request waits at a PIN dialog or for its turn for one, from before it gives
// the store up to after it has taken it back, and while a keypad login is under way: they
// still hold NSS objects (the slot they log in to, the certificate whose key is looked for),
// so NSS must not be shut down under them.
bool pinDialogsWaiting(const CertificateStore& store);

}  // namespace quillmark
