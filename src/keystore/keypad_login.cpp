#include "keystore/keypad_login.h"

#include <pk11pub.h>
#include <pkcs11.h>
#include <secmod.h>

#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "support/log_file.h"

namespace quillmark {
namespace {

using BusyToken = std::pair<SECMODModuleID, CK_SLOT_ID>;

// The tokens with a keypad login under way, and the origin each token's last successful keypad
// login was made for. Never destroyed: a login still waiting for its reader when the agent exits
// may return during the exit.
struct BusyTokens {
    std::mutex mutex;
    std::condition_variable released;
    std::set<BusyToken> tokens;
    std::map<BusyToken, std::string> loginOrigins;
};
BusyTokens& busyTokens() {
    static auto* busy = new BusyTokens;
    return *busy;
}

BusyToken busyToken(PK11SlotInfo* slot) {
    return {PK11_GetModuleID(slot), PK11_GetSlotID(slot)};
}

// A PKCS #11 session of our own on the slot's token: NSS's sessions are used by NSS under its
// slot lock, which a keypad login must not hold while the reader waits.
class OwnSession {
  public:
    explicit OwnSession(PK11SlotInfo* slot)
        : functions_(static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList)) {
        opened_ = functions_ == nullptr
                      ? CKR_GENERAL_ERROR
                      : functions_->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr,
                                                  nullptr, &session_);
    }
    ~OwnSession() {
        if (opened_ == CKR_OK) functions_->C_CloseSession(session_);
    }
    OwnSession(const OwnSession&) = delete;
    OwnSession& operator=(const OwnSession&) = delete;

    // CKR_OK when the session is open, else why it is not.
    CK_RV opened() const { return opened_; }
    CK_FUNCTION_LIST* functions() const { return functions_; }
    CK_SESSION_HANDLE handle() const { return session_; }

  private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
    CK_RV opened_ = CKR_GENERAL_ERROR;
};

void logLateLogin(PK11SlotInfo* slot) {
    writeLog(std::string("Logged out of ") + PK11_GetTokenName(slot) +
             ": its PIN was typed on the reader after the request was answered");
}

}  // namespace

std::shared_ptr<KeypadLogin> KeypadLogin::reserve(PK11SlotInfo* slot, std::string origin) {
    BusyTokens& busy = busyTokens();
    {
        const std::lock_guard<std::mutex> lock(busy.mutex);
        if (!busy.tokens.insert(busyToken(slot)).second) return nullptr;
    }
    return std::make_shared<KeypadLogin>(slot, std::move(origin));
}

void KeypadLogin::begin() {
    // Detached: the login may outlast the request, and the agent's exit does not wait for it.
    std::thread([login = shared_from_this()] { login->run(); }).detach();
}

KeypadLogin::KeypadLogin(PK11SlotInfo* slot, std::string origin)
    : slot_(PK11_ReferenceSlot(slot)), origin_(std::move(origin)) {}

KeypadLogin::~KeypadLogin() {
    releaseToken();
    PK11_FreeSlot(slot_);
}

// The token is let go before the request learns that the login returned: NSS, told to ask
// again after a wrong PIN, calls back at once, and the request's next login must find the
// token free.
void KeypadLogin::run() {
    login();
    releaseToken();
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
    }
    changed_.notify_all();
}

void KeypadLogin::releaseToken() {
    if (tokenReleased_) return;
    tokenReleased_ = true;
    BusyTokens& busy = busyTokens();
    {
        const std::lock_guard<std::mutex> lock(busy.mutex);
        busy.tokens.erase(busyToken(slot_));
    }
    busy.released.notify_all();
}

void KeypadLogin::login() {
    const OwnSession session(slot_);
    CK_RV result = session.opened();
    if (result == CKR_OK)
        result = session.functions()->C_Login(session.handle(), CKU_USER, nullptr, 0);
    bool logOut = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        returned_ = true;
        result_ = result;
        logOut = abandoned_ && result == CKR_OK;
    }
    if (result == CKR_OK) {
        BusyTokens& busy = busyTokens();
        const std::lock_guard<std::mutex> lock(busy.mutex);
        busy.loginOrigins[busyToken(slot_)] = origin_;
    }
    if (logOut) {
        logLateLogin(slot_);
        session.functions()->C_Logout(session.handle());
    }
}

void KeypadLogin::waitUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return finished_ || done(); });
}

void KeypadLogin::wake() {
    { const std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

bool KeypadLogin::returned() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return finished_;
}

CK_RV KeypadLogin::result() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return result_;
}

void KeypadLogin::abandon() {
    bool logOut = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        abandoned_ = true;
        logOut = returned_ && result_ == CKR_OK;
    }
    if (logOut) {
        logLateLogin(slot_);
        PK11_Logout(slot_);
    }
}

bool tokenUserLoggedIn(PK11SlotInfo* slot) {
    const OwnSession session(slot);
    CK_SESSION_INFO info;
    return session.opened() == CKR_OK &&
           session.functions()->C_GetSessionInfo(session.handle(), &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

bool tokenLoggedInFor(PK11SlotInfo* slot, const std::string& origin) {
    if (!tokenUserLoggedIn(slot)) return false;
    BusyTokens& busy = busyTokens();
    const std::lock_guard<std::mutex> lock(busy.mutex);
    const auto found = busy.loginOrigins.find(busyToken(slot));
    return found != busy.loginOrigins.end() && found->second == origin;
}

bool keypadLoginUnderWay(PK11SlotInfo* slot) {
    BusyTokens& busy = busyTokens();
    const std::lock_guard<std::mutex> lock(busy.mutex);
    return busy.tokens.count(busyToken(slot)) != 0;
}

void waitForKeypadLogins() {
    BusyTokens& busy = busyTokens();
    std::unique_lock<std::mutex> lock(busy.mutex);
    busy.released.wait(lock, [&] { return busy.tokens.empty(); });
}

bool keypadLoginsUnderWay() {
    BusyTokens& busy = busyTokens();
    const std::lock_guard<std::mutex> lock(busy.mutex);
    return !busy.tokens.empty();
}

}  // namespace quillmark
