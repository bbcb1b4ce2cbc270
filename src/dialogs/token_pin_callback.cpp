#include "dialogs/token_pin_callback.h"

#include <pk11pub.h>
#include <pkcs11t.h>
#include <secerr.h>
#include <secport.h>

#include <atomic>
#include <memory>
#include <string>

#include "dialogs/assuan_client.h"
#include "dialogs/keypad_login.h"
#include "dialogs/keypad_pin_wait.h"
#include "dialogs/pin_entry.h"
#include "support/dialog_turns.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

std::atomic<int> requestsAtPinDialogs{0};

// Counts the calling request among them while it waits.
class AtPinDialog {
  public:
    AtPinDialog() { ++requestsAtPinDialogs; }
    ~AtPinDialog() { --requestsAtPinDialogs; }
    AtPinDialog(const AtPinDialog&) = delete;
    AtPinDialog& operator=(const AtPinDialog&) = delete;
};

constexpr int kMaxRetries = 1;

// NSS's error for what a keypad login returned, as NSS gives it for a login of its own.
int keypadLoginError(CK_RV result) {
    switch (result) {
        case CKR_PIN_INCORRECT:
        case CKR_PIN_INVALID:
        case CKR_PIN_LEN_RANGE:
            return SEC_ERROR_BAD_PASSWORD;
        case CKR_PIN_LOCKED:
            return SEC_ERROR_LOCKED_PASSWORD;
        case CKR_DEVICE_REMOVED:
        case CKR_TOKEN_NOT_PRESENT:
            return SEC_ERROR_NO_TOKEN;
        case CKR_FUNCTION_FAILED:
            return SEC_ERROR_PKCS11_FUNCTION_FAILED;
        default:
            break;
    }
    return SEC_ERROR_PKCS11_GENERAL_ERROR;
}

// What NSS is told of a keypad login that returned: to log in without a PIN (PK11_PW_TRY),
// which the token, logged in now, answers at once, and which has NSS note the login; or to ask
// again (PK11_PW_RETRY), with NSS's error for the failure set.
char* keypadLoginReturned(CK_RV result, PinSession& session) {
    if (result == CKR_OK || result == CKR_USER_ALREADY_LOGGED_IN) return PORT_Strdup(PK11_PW_TRY);
    PORT_SetError(keypadLoginError(result));
    session.keypadLoginFailed = keypadLoginError(result) != SEC_ERROR_BAD_PASSWORD;
    return PORT_Strdup(PK11_PW_RETRY);
}

// Logs in on the reader's keypad, on a thread of its own, while a dialog says to type the PIN
// there, and returns when the login does, or when the dialog ends first: the user cancelled
// it or its page went away, and the request goes on at once while the login ends by itself.
// Null then, and when the token is busy with another keypad login.
char* loginOnKeypad(PK11SlotInfo* slot, PinSession& session, bool afterWrongPin) {
    const PinPromptContext* context = &session.context;
    const std::shared_ptr<KeypadLogin> login = KeypadLogin::reserve(slot, context->origin);
    if (!login) {
        writeLog(std::string("Not logging in to ") + PK11_GetTokenName(slot) +
                 ": a login on its reader's keypad is under way");
        return nullptr;
    }
    const AtPinDialog waiting;
    KeypadPinWait wait(slot, context, afterWrongPin, [login] { login->wake(); });
    if (!wait.granted()) return nullptr;
    login->begin();
    login->waitUntil([&wait] { return wait.ended(); });
    const DialogResult shown = wait.finish();
    if (shown == DialogResult::NoProgram) login->waitUntil([] { return false; });
    if (shown == DialogResult::Answered || !login->returned()) {
        login->abandon();
        session.outcome = PinDialogOutcome::Cancelled;
        return nullptr;
    }
    session.outcome =
        shown == DialogResult::NoProgram ? PinDialogOutcome::NotShown : PinDialogOutcome::Answered;
    return keypadLoginReturned(login->result(), session);
}

}  // namespace

// A key that asks for the PIN at each use (CKA_ALWAYS_AUTHENTICATE) on a token logged in
// already: NSS makes that login itself once the callback returns, on the session it signs with
// and under its lock, so it cannot run on a thread of ours. The dialog stays up until the
// signature returns (PinSession::endKeyUseLogin).
struct KeyUseLogin {
    const AtPinDialog waiting;
    KeypadPinWait wait;

    KeyUseLogin(PK11SlotInfo* slot, const PinPromptContext* context, bool afterWrongPin)
        : wait(slot, context, afterWrongPin, [] {}) {}
};

namespace {

char* startKeyUseLogin(PK11SlotInfo* slot, PinSession& session, bool afterWrongPin) {
    auto login = std::make_unique<KeyUseLogin>(slot, &session.context, afterWrongPin);
    if (!login->wait.granted()) return nullptr;
    session.keyUseLogin = std::move(login);
    return PORT_Strdup(PK11_PW_TRY);
}

// The PIN dialog in the request's turn: one dialog at a time, in request order, the store
// given up meanwhile and taken again once the dialog is answered.
Secret askPinInTurn(PK11SlotInfo* slot, PinSession& session, bool afterWrongPin) {
    const AtPinDialog waiting;
    const DialogTurn turn(session.context.request, cancelOpenPinentry);
    if (!turn.granted()) return Secret();
    return askPin(slot, &session.context, afterWrongPin, session.outcome);
}

void logOutForOwnPin(PK11SlotInfo* slot) {
    writeLog(std::string("Logged out of ") + PK11_GetTokenName(slot) +
             ": another request logged in while this one was about to ask for its PIN");
    PK11_Logout(slot);
}

}  // namespace

PinSession::PinSession(PinPromptContext prompt) : context(std::move(prompt)) {}

PinSession::~PinSession() = default;

bool PinSession::endKeyUseLogin() {
    if (!keyUseLogin) return true;
    const DialogResult shown = keyUseLogin->wait.finish();
    keyUseLogin.reset();
    if (shown != DialogResult::Answered) return true;
    outcome = PinDialogOutcome::Cancelled;
    return false;
}

// A call without a session (none of the agent's own) gets one for this call alone.
char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* argument) {
    PinSession ownSession{PinPromptContext{}};
    PinSession& session = argument != nullptr ? *static_cast<PinSession*>(argument) : ownSession;
    // Asked again after a key's own keypad login failed: a cancelled dialog ends it there.
    if (!session.endKeyUseLogin()) return nullptr;
    if (session.keypadLoginFailed) {
        session.keypadLoginFailed = false;
        return nullptr;
    }
    if (!retry)
        session.retries = 0;
    else if (++session.retries > kMaxRetries)
        return nullptr;
    if (PK11_ProtectedAuthenticationPath(slot)) {
        // Asked while the token is logged in for this site, NSS wants a key's own login. Logged
        // in for another, it was found logged out just before: another request's keypad login
        // ended meanwhile, and this request needs its own.
        if (tokenLoggedInFor(slot, session.context.origin))
            return startKeyUseLogin(slot, session, retry == PR_TRUE);
        if (tokenUserLoggedIn(slot)) logOutForOwnPin(slot);
        return loginOnKeypad(slot, session, retry == PR_TRUE);
    }
    const bool loggedInBefore = tokenUserLoggedIn(slot);
    const Secret pin = askPinInTurn(slot, session, retry == PR_TRUE);
    if (!pin.valid()) return nullptr;
    // Another request logged in while this one waited for its dialog. A token answers a login
    // while it is logged in with success, whatever the PIN: logged out, it checks this one.
    if (!loggedInBefore && tokenUserLoggedIn(slot)) logOutForOwnPin(slot);
    // NSS wipes and frees the copy it is given.
    return PORT_Strdup(pin.text());
}

bool pinDialogsWaiting() {
    return requestsAtPinDialogs > 0 || keypadLoginsUnderWay();
}

}  // namespace quillmark
