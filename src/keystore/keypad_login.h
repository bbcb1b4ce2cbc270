#pragma once

#include <pkcs11t.h>
#include <secmodt.h>

#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace quillmark {

// A login on a token whose PIN is typed on its reader's keypad: C_Login without a PIN, made on
// a thread of its own. It cannot be interrupted, so the request that started it may stop
// waiting (the user cancelled, the page went away) and go on; the login then ends on its own
// when the reader gives up or the PIN is typed, and a login that succeeds for no one is logged
// out. While it runs, its token is busy: no other login starts on it and requests leave it aside.
class KeypadLogin : public std::enable_shared_from_this<KeypadLogin> {
  public:
    // Takes the slot's token for a login for the origin's request, which begin() starts; null
    // when one is under way on it already. The token is busy from now until the login has
    // returned and is let go.
    static std::shared_ptr<KeypadLogin> reserve(PK11SlotInfo* slot, std::string origin);

    // Starts the login, on a thread that keeps it for as long as the reader takes.
    void begin();

    // Waits until the login has returned or `done` is true; `done` is checked again at each
    // wake().
    void waitUntil(const std::function<bool()>& done);

    // Wakes waitUntil to check its condition again.
    void wake();

    // The login's PKCS #11 result, once it has returned and let its token go.
    bool returned();
    CK_RV result();

    // The request no longer wants the login: a login that succeeds, or has succeeded, is
    // logged out.
    void abandon();

    KeypadLogin(PK11SlotInfo* slot, std::string origin);  // for reserve()
    ~KeypadLogin();
    KeypadLogin(const KeypadLogin&) = delete;
    KeypadLogin& operator=(const KeypadLogin&) = delete;

  private:
    void run();
    // Logs in on a session of its own, which is closed when it returns.
    void login();
    // The token is no longer busy; once only (the thread, or the end of a login never begun).
    void releaseToken();

    PK11SlotInfo* slot_;
    const std::string origin_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool returned_ = false;       // C_Login returned (a late success is then logged out here)
    bool finished_ = false;       // and the token was let go
    bool tokenReleased_ = false;  // the thread's, or the destructor's when never begun
    bool abandoned_ = false;
    CK_RV result_ = CKR_OK;
};

// True when the slot's token is logged in as its user, asked on a session of our own: NSS's
// own check takes the slot's lock, which NSS holds while it asks for a key's own login.
bool tokenUserLoggedIn(PK11SlotInfo* slot);

// True when the slot's token is logged in, and its last keypad login was made for this origin's
// request: NSS then asks for a key's own login. Otherwise another request's login may have ended
// after NSS found the token logged out.
bool tokenLoggedInFor(PK11SlotInfo* slot, const std::string& origin);

// True when a keypad login is under way on the slot's token.
bool keypadLoginUnderWay(PK11SlotInfo* slot);

// True while any keypad login is under way: NSS must not be shut down under it.
bool keypadLoginsUnderWay();

// Waits until no keypad login is under way: the agent ends after them, as their tokens'
// modules must not be torn down under them. The wait lasts until the readers give up.
void waitForKeypadLogins();

}  // namespace quillmark
