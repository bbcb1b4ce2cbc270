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
#include <dlfcn.h>
#include <p11-kit/pkcs11.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

namespace {

constexpr char kSoftHsm[] = "/usr/lib/softhsm/libsofthsm2.so";
constexpr std::chrono::milliseconds kPoll{50};

CK_FUNCTION_LIST* softHsm = nullptr;
CK_FUNCTION_LIST pinPad;

struct Control {
    std::string pin;
    long waitMilliseconds = 0;
    std::string outcome = "pending";
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
    }
    return control;
}

void note(const std::string& line) {
    std::ofstream(controlPath() + ".log", std::ios::app) << line << std::endl;
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
    std::ofstream(controlPath()) << "pin " << control.pin << "\nwait " << control.waitMilliseconds
                                 << "\noutcome pending\n";
    return control;
}

CK_RV keypadLogin(CK_SESSION_HANDLE session, CK_USER_TYPE user) {
    const Control control = awaitKeypad();
    if (control.outcome == "login") {
        auto* pin = reinterpret_cast<CK_UTF8CHAR_PTR>(const_cast<char*>(control.pin.data()));
        return softHsm->C_Login(session, user, pin, control.pin.size());
    }
    if (control.outcome == "wrong-pin") return CKR_PIN_INCORRECT;
    if (control.outcome == "removed") return CKR_DEVICE_REMOVED;
    return CKR_FUNCTION_FAILED;  // what readers return when the keypad timed out
}

bool loggedIn(CK_SESSION_HANDLE session) {
    CK_SESSION_INFO info;
    return softHsm->C_GetSessionInfo(session, &info) == CKR_OK &&
           (info.state == CKS_RO_USER_FUNCTIONS || info.state == CKS_RW_USER_FUNCTIONS);
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    if (pin != nullptr) return softHsm->C_Login(session, user, pin, length);
    // As a reader does: a token already logged in does not wait for the keypad.
    if (loggedIn(session)) return CKR_USER_ALREADY_LOGGED_IN;
    note("waiting");
    const CK_RV rv = keypadLogin(session, user);
    note("returned " + std::to_string(rv));
    return rv;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    const CK_RV rv = softHsm->C_GetTokenInfo(slot, info);
    if (rv == CKR_OK) info->flags |= CKF_PROTECTED_AUTHENTICATION_PATH;
    return rv;
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    if (softHsm == nullptr) {
        void* library = dlopen(kSoftHsm, RTLD_NOW | RTLD_LOCAL);
        auto* getList =
            library != nullptr
                ? reinterpret_cast<CK_C_GetFunctionList>(dlsym(library, "C_GetFunctionList"))
                : nullptr;
        if (getList == nullptr || getList(&softHsm) != CKR_OK) return CKR_GENERAL_ERROR;
        pinPad = *softHsm;
        pinPad.C_GetFunctionList = C_GetFunctionList;
        pinPad.C_GetTokenInfo = getTokenInfo;
        pinPad.C_Login = login;
    }
    *list = &pinPad;
    return CKR_OK;
}
