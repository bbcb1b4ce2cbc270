// A PKCS#11 module for the tests: SoftHSM's tokens behind removable slots, as a USB token in
// its reader. The token is in while the file named by REMOVABLE_TOKEN_PRESENT exists, and the
// slots appear when it first does (a token with its own reader is plugged in). Pulling the
// token out ends its sessions and its login, as a real removal does.
#include <sys/stat.h>

#include <cstdlib>
#include <vector>

#include "../softhsm_functions.h"

namespace {

bool readerPlugged = false;
bool tokenWasPresent = false;

bool flagFileExists() {
    const char* flag = std::getenv("REMOVABLE_TOKEN_PRESENT");
    struct stat info;
    return flag != nullptr && stat(flag, &info) == 0;
}

void closeAllSessions() {
    CK_ULONG count = 0;
    if (softHsm()->C_GetSlotList(CK_FALSE, nullptr, &count) != CKR_OK) return;
    std::vector<CK_SLOT_ID> slots(count);
    if (softHsm()->C_GetSlotList(CK_FALSE, slots.data(), &count) != CKR_OK) return;
    for (CK_ULONG index = 0; index < count; ++index)
        softHsm()->C_CloseAllSessions(slots[index]);
}

// Reads the flag file and applies a removal; true while the token is in.
bool tokenPresent() {
    const bool present = flagFileExists();
    if (present) readerPlugged = true;
    if (tokenWasPresent && !present) closeAllSessions();
    tokenWasPresent = present;
    return present;
}

CK_RV getSlotList(CK_BBOOL withToken, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
    const bool present = tokenPresent();
    if (!readerPlugged || (withToken == CK_TRUE && !present)) {
        *count = 0;
        return CKR_OK;
    }
    return softHsm()->C_GetSlotList(withToken, list, count);
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
    const bool present = tokenPresent();
    if (!readerPlugged) return CKR_SLOT_ID_INVALID;
    const CK_RV rv = softHsm()->C_GetSlotInfo(slot, info);
    if (rv != CKR_OK) return rv;
    info->flags |= CKF_REMOVABLE_DEVICE;
    if (!present) info->flags &= ~static_cast<CK_FLAGS>(CKF_TOKEN_PRESENT);
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
    return tokenPresent() ? softHsm()->C_GetTokenInfo(slot, info) : CKR_TOKEN_NOT_PRESENT;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session) {
    return tokenPresent() ? softHsm()->C_OpenSession(slot, flags, application, notify, session)
                          : CKR_TOKEN_NOT_PRESENT;
}

// The calls that start work on a session notice a removal first.
CK_RV getSessionInfo(CK_SESSION_HANDLE session, CK_SESSION_INFO_PTR info) {
    tokenPresent();
    return softHsm()->C_GetSessionInfo(session, info);
}

CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR search, CK_ULONG count) {
    tokenPresent();
    return softHsm()->C_FindObjectsInit(session, search, count);
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
    tokenPresent();
    return softHsm()->C_Login(session, user, pin, length);
}

CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
    tokenPresent();
    return softHsm()->C_SignInit(session, mechanism, key);
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
    return wrapSoftHsm(C_GetFunctionList, list, [](CK_FUNCTION_LIST& functions) {
        functions.C_GetSlotList = getSlotList;
        functions.C_GetSlotInfo = getSlotInfo;
        functions.C_GetTokenInfo = getTokenInfo;
        functions.C_OpenSession = openSession;
        functions.C_GetSessionInfo = getSessionInfo;
        functions.C_FindObjectsInit = findObjectsInit;
        functions.C_Login = login;
        functions.C_SignInit = signInit;
    });
}
