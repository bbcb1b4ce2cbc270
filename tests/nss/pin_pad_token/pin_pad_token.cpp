// A PKCS#11 module for the tests: SoftHSM's tokens behind a reader with a keypad. The token
// reports a protected authentication path, and a login without a PIN waits as a person typing
// on the keypad would, then ends as the control file named by PIN_PAD_TOKEN_CONTROL says:
//   pin <the token's real PIN>
//   wait <milliseconds at most>
//   outcome <login | wrong-pin | removed | pending>
// The file is read every 50 ms while the outcome is "pending"; a wait that ends still pending
// is the reader's time-out. An outcome is used once: the login sets it back to "pending". Each
// login without a PIN appends "waiting" when it starts and "returned <the PKCS#11 return
// value>" when it ends to the file named by the control file's name with ".log" added.
// A line "login-at-open <n>" has the n-th session opened from then on log the token in with its
// PIN, as another request's keypad login ending at that moment would.
// With PIN_PAD_TOKEN_EACH_USE set, the token's private keys ask for the PIN at each use
// (CKA_ALWAYS_AUTHENTICATE): their login (CKU_CONTEXT_SPECIFIC) waits on the keypad too.
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "../softhsm_functions.h"

namespace {

constexpr std::chrono::milliseconds kPoll{50};

struct Control {
    std::string pin;
    long waitMilliseconds = 0;
    std::string outcome = "pending";
    int loginAtOpen = 0;
};

std::string controlPath() {
    const char* path = std::getenv("PIN_PAD_TOKEN_CONTROL");
    return path != nullptr ? path : "";
}

Control readControl() {
    Control control;
    std::ifstream file(controlPath());
    for (std::string key; file >> key;) {
        if (key == "pin") file >> control.pin;
        if (key == "wait") file >> control.waitMilliseconds;
        if (key == "outcome") file >> control.outcome;
        if (key == "login-at-open") file >> control.loginAtOpen;
    }
    return control;
}

void note(const std::string& line) {
    std::ofstream(controlPath() + ".log", std::ios::app) << line << std::endl;
}

void writeControl(const std::string& pin, long waitMilliseconds, const std::string& outcome,
                  int loginAtOpen) {
    std::ofstream(controlPath()) << "pin " << pin << "\nwait " << waitMilliseconds << "\noutcome "
                                 << outcome << "\nlogin-at-open " << loginAtOpen << "\n";
}

// What the person at the reader did, once they are done or the reader gave up.
Control awaitKeypad() {
    Control control = readControl();
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(control.waitMilliseconds);
    while (control.outcome == "pending" && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(kPoll);
        control = readControl();
    }
    writeControl(control.pin, control.waitMilliseconds, "pending", 0);
    return control;
}

CK_RV keypadLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user) {
    const Control control = awaitKeypad();
    // SoftHSM's keys do not ask at each use themselves: the key's login is the module's alone.
    if (control.outcome == "login" && user == CKU_CONTEXT_SPECIFIC) return CKR_OK;
    if (control.outcome == "login") {
        auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(control.pin.data()));
        return softHsm()->C_Login(session, user, pin, control.pin.size());
    }
    if (control.outcome == "wrong-pin") return CKR_PIN_INCORRECT;
    if (control.outcome == "removed") return CKR_DEVICE_REMOVED;
    return CKR_FUNCTION_FAILED;  // what readers return when the keypad timed out
}

bool loggedIn(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info;
    return softHsm()->C_GetSessionInfo(session, &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    if (pin != nullptr) return softHsm()->C_Login(session, user, pin, length);
    // As a reader does: a token already logged in does not wait for the keypad.
    if (user == CKU_USER && loggedIn(session)) return CKR_USER_ALREADY_LOGGED_IN;
    note("waiting");
    const CK_RV rv = keypadLogin(session, user);
    note("returned " + std::to_string(rv));
    return rv;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session) {
    const CK_RV rv = softHsm()->C_OpenSession(slot, flags, application, notify, session);
    const Control control = readControl();
    if (rv != CKR_OK || control.loginAtOpen == 0) return rv;
    writeControl(control.pin, control.waitMilliseconds, control.outcome, control.loginAtOpen - 1);
    if (control.loginAtOpen != 1) return rv;
    auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(control.pin.data()));
    note("logged in at open: " +
         std::to_string(softHsm()->C_Login(*session, CKU_USER, pin, control.pin.size())));
    return rv;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    const CK_RV rv = softHsm()->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    return rv;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object,
                        CK_ATTRIBUTE_PTR attributes, CK_ULONG count) {
    const CK_RV rv = softHsm()->C_GetAttributeValue(session, object, attributes, count);
    if (std::getenv("PIN_PAD_TOKEN_EACH_USE") == nullptr) return rv;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& attribute = attributes[i];
        // Only private keys have the attribute; SoftHSM gives it as false.
        if (attribute.type == CKA_ALWAYS_AUTHENTICATE && attribute.pValue != nullptr &&
            attribute.ulValueLen == sizeof(CK_BBOOL)) {
            *static_cast<CK_BBOOL*>(attribute.pValue) = CK_TRUE;
        }
    }
    return rv;
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return wrapSoftHsm(C_GetFunctionList, list, [](CK_FUNCTION_LIST& functions) {
        functions.C_GetTokenInfo = getTokenInfo;
        functions.C_Login = login;
        functions.C_OpenSession = openSession;
        functions.C_GetAttributeValue = getAttributeValue;
    });
}
