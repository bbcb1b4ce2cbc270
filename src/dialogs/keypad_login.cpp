#include "dialogs/keypad_login.h"

#include <pk11pub.h>
#include <pkcs11.h>
#include <secmod.h>

#include <set>
#include <string>
#include <thread>
#include <utility>

#include "support/log_file.h"

namespace quillmark {
namespace {

using BusyToken = std::pair<SECMODModuleID, CK_SLOT_ID>;

// The tokens with a keypad login under way. Never destroyed: a login still waiting for its
// reader when the agent exits may return during the exit.
struct BusyTokens {
    std::mutex mutex;
    std::condition_variable released;
    std::set<BusyToken> tokens;
};
BusyTokens& busyTokens() {
    static auto* busy = new BusyTokens;
    return *busy;
}

BusyToken busyToken(PK11SlotInfo* slot) {
    return {PK11_GetModuleID(slot), PK11_GetSlotID(slot)};
}

void logLateLogin(PK11SlotInfo* slot) {
    writeLog(std::string("Logged out of ") + PK11_GetTokenName(slot) +
             ": its PIN was typed on the reader after the request was answered");
}

}  // namespace

std::shared_ptr<KeypadLogin> KeypadLogin::reserve(PK11SlotInfo* slot) {
    BusyTokens& busy = busyTokens();
    {
        const std::lock_guard<std::mutex> lock(busy.mutex);
        if (!busy.tokens.insert(busyToken(slot)).second) return nullptr;
    }
    return std::make_shared<KeypadLogin>(slot);
}

void KeypadLogin::begin() {
    // Detached: the login may outlast the request, and the agent's exit does not wait for it.
    std::thread([login = shared_from_this()] { login->run(); }).detach();
}

KeypadLogin::KeypadLogin(PK11SlotInfo* slot) : slot_(PK11_ReferenceSlot(slot)) {}

KeypadLogin::~KeypadLogin() {
    BusyTokens& busy = busyTokens();
    {
        const std::lock_guard<std::mutex> lock(busy.mutex);
        busy.tokens.erase(busyToken(slot_));
    }
    PK11_FreeSlot(slot_);
    busy.released.notify_all();
}

// A session of its own: NSS's sessions are used by NSS under its slot lock, which this login
// must not hold while the reader waits.
void KeypadLogin::run() {
    auto* functions = static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot_)->functionList);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    CK_RV result = functions == nullptr
                       ? CKR_GENERAL_ERROR
                       : functions->C_OpenSession(PK11_GetSlotID(slot_), CKF_SERIAL_SESSION,
                                                  nullptr, nullptr, &session);
    if (result == CKR_OK) result = functions->C_Login(session, CKU_USER, nullptr, 0);
    bool logOut = false;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        returned_ = true;
        result_ = result;
        logOut = abandoned_ && result == CKR_OK;
    }
    if (logOut) {
        logLateLogin(slot_);
        functions->C_Logout(session);
    }
    if (session != CK_INVALID_HANDLE) functions->C_CloseSession(session);
    changed_.notify_all();
}

void KeypadLogin::waitUntil(const std::function<bool()>& done) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return returned_ || done(); });
}

void KeypadLogin::wake() {
    { const std::lock_guard<std::mutex> lock(mutex_); }
    changed_.notify_all();
}

bool KeypadLogin::returned() {
    const std::lock_guard<std::mutex> lock(mutex_);
    return returned_;
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
    auto* functions = static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList);
    CK_SESSION_HANDLE session = CK_INVALID_HANDLE;
    if (functions == nullptr || functions->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION,
                                                         nullptr, nullptr, &session) != CKR_OK) {
        return false;
    }
    CK_SESSION_INFO info;
    const bool loggedIn =
        functions->C_GetSessionInfo(session, &info) == CKR_OK &&
        (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
    functions->C_CloseSession(session);
    return loggedIn;
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
