#include "keystore/token_pin_callback.h"

#include <pk11pub.h>
#include <pkcs11t.h>
#include <secerr.h>
#include <secport.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "keystore/certificate_store.h"
#include "keystore/keypad_login.h"
#include "keystore/pin_prompter.h"
#include "support/dialog_turns.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// Counts the calling request among those at PIN dialogs while it waits.
class AtPinDialog {
  public:
    explicit AtPinDialog(const PinSession& session) : count_(session.store.store().atPinDialogs) {
        ++count_;
    }
    ~AtPinDialog() { --count_; }
    AtPinDialog(const AtPinDialog&) = delete;
    AtPinDialog& operator=(const AtPinDialog&) = delete;

  private:
    std::atomic<int>& count_;
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

unsigned long tokenFlags(PK11SlotInfo* slot) {
    CK_TOKEN_INFO info{};
    return PK11_GetTokenInfo(slot, &info) == SECSuccess ? info.flags : 0;
}

PinQuestion questionFor(PK11SlotInfo* slot, const PinSession& session, SecretKind kind,
                        bool afterWrongPin) {
    return {&session.context, PK11_GetTokenName(slot), kind, pinTriesOf(tokenFlags(slot)),
            afterWrongPin};
}

// NSS's own database has a password; a token has a PIN.
SecretKind secretKindOf(PK11SlotInfo* slot) {
    return PK11_IsInternalKeySlot(slot) ? SecretKind::StorePassword : SecretKind::TokenPin;
}

// The request's dialog turn, during which its prompter's dialog is closed if the request is
// abandoned.
DialogTurn turnOf(const PinSession& session) {
    PinPrompter* prompter = session.prompter;
    return session.store.dialogTurn([prompter] { prompter->closeShown(); });
}

}  // namespace

// The keypad dialog in the request's turn, from before it is shown until it is closed and the
// store taken back.
class KeypadWait {
  public:
    KeypadWait(PK11SlotInfo* slot, const PinSession& session, bool afterWrongPin,
               std::function<void()> onEnded)
        : waiting_(session), turn_(turnOf(session)) {
        if (turn_.granted())
            dialog_ = session.prompter->showKeypadWait(
                questionFor(slot, session, SecretKind::KeypadPin, afterWrongPin),
                std::move(onEnded));
    }

    // False when the request was abandoned or the agent stopped before its turn, or the
    // dialog could not start: nothing is shown.
    bool shown() const { return dialog_ != nullptr; }
    bool ended() const { return dialog_->ended(); }
    PinDialogOutcome finish() { return dialog_->finish(); }

  private:
    const AtPinDialog waiting_;
    DialogTurn turn_;
    std::unique_ptr<KeypadWaitDialog> dialog_;  // closed before the turn is passed on
};

namespace {

// Logs in on the reader's keypad, on a thread of its own, while a dialog says to type the PIN
// there, and returns when the login does, or when the dialog ends first: the user cancelled
// it or its page went away, and the request goes on at once while the login ends by itself.
// Null then, and when the token is busy with another keypad login.
char* loginOnKeypad(PK11SlotInfo* slot, PinSession& session, bool afterWrongPin) {
    const std::shared_ptr<KeypadLogin> login = KeypadLogin::reserve(slot, session.context.origin);
    if (!login) {
        writeLog(std::string("Not logging in to ") + PK11_GetTokenName(slot) +
                 ": a login on its reader's keypad is under way");
        return nullptr;
    }
    KeypadWait wait(slot, session, afterWrongPin, [login] { login->wake(); });
    if (!wait.shown()) return nullptr;
    login->begin();
    login->waitUntil([&wait] { return wait.ended(); });
    const PinDialogOutcome shown = wait.finish();
    if (shown == PinDialogOutcome::NotShown) login->waitUntil([] { return false; });
    if (shown == PinDialogOutcome::Cancelled || !login->returned()) {
        login->abandon();
        session.outcome = PinDialogOutcome::Cancelled;
        return nullptr;
    }
    session.outcome = shown;
    return keypadLoginReturned(login->result(), session);
}

// A key that asks for the PIN at each use (CKA_ALWAYS_AUTHENTICATE) on a token logged in
// already: NSS makes that login itself once the callback returns, on the session it signs with
// and under its lock, so it cannot run on a thread of ours. The dialog stays up until the
// signature returns (PinSession::endKeyUseLogin).
char* startKeyUseLogin(PK11SlotInfo* slot, PinSession& session, bool afterWrongPin) {
    auto wait = std::make_unique<KeypadWait>(slot, session, afterWrongPin, [] {});
    if (!wait->shown()) return nullptr;
    session.keyUseLogin = std::move(wait);
    return PORT_Strdup(PK11_PW_TRY);
}

// The PIN dialog in the request's turn: one dialog at a time, in request order, the store
// given up meanwhile and taken again once the dialog is answered.
Secret askPinInTurn(PK11SlotInfo* slot, PinSession& session, bool afterWrongPin) {
    const AtPinDialog waiting(session);
    const DialogTurn turn = turnOf(session);
    Secret pin;
    if (!turn.granted()) return pin;
    session.outcome = session.prompter->askPin(
        questionFor(slot, session, secretKindOf(slot), afterWrongPin), pin);
    return pin;
}

void logOutForOwnPin(PK11SlotInfo* slot) {
    writeLog(std::string("Logged out of ") + PK11_GetTokenName(slot) +
             ": another request logged in while this one was about to ask for its PIN");
    PK11_Logout(slot);
}

}  // namespace

PinSession::PinSession(const StoreHandle& store, PinPromptContext prompt, PinPrompter* prompter)
    : store(store), context(std::move(prompt)), prompter(prompter) {
    context.request = store.request();
}

PinSession::~PinSession() = default;

bool PinSession::endKeyUseLogin() {
    if (!keyUseLogin) return true;
    const PinDialogOutcome shown = keyUseLogin->finish();
    keyUseLogin.reset();
    if (shown != PinDialogOutcome::Cancelled) return true;
    outcome = PinDialogOutcome::Cancelled;
    return false;
}

char* askTokenPin(PK11SlotInfo* slot, PRBool retry, void* argument) {
    if (argument == nullptr) {
        writeLog(std::string("Not asking for the PIN of ") + PK11_GetTokenName(slot) +
                 ": no request asks for it");
        return nullptr;
    }
    PinSession& session = *static_cast<PinSession*>(argument);
    if (session.prompter == nullptr) {
        session.outcome = PinDialogOutcome::NotShown;
        return nullptr;
    }
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

bool pinDialogsWaiting(const CertificateStore& store) {
    return store.atPinDialogs > 0 || keypadLoginsUnderWay();
}

}  // namespace quillmark
