#include "keystore/token_logins.h"

#include <pk11pub.h>

#include <map>
#include <mutex>
#include <tuple>

#include "keystore/nss_pointers.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// A token in a slot, as long as NSS stays open: a reopened database numbers its modules anew,
// and a token pulled out and put back gets a new series (its login is gone with it).
using TokenKey = std::tuple<SECMODModuleID, CK_SLOT_ID, int>;

std::mutex loginsLock;
std::map<TokenKey, std::string> loginOrigins;

TokenKey tokenKey(PK11SlotInfo* slot) {
    return {PK11_GetModuleID(slot), PK11_GetSlotID(slot), PK11_GetSlotSeries(slot)};
}

bool loggedIn(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && PK11_IsLoggedIn(slot, nullptr);
}

void claimLogin(PK11SlotInfo* slot, const std::string& origin) {
    if (!loggedIn(slot)) return;
    const auto owner = loginOrigins.find(tokenKey(slot));
    if (owner != loginOrigins.end() && owner->second == origin) return;
    if (owner != loginOrigins.end()) loginOrigins.erase(owner);
    writeLog(std::string("Logged out of ") + PK11_GetTokenName(slot) +
             ": its PIN was given for another site");
    PK11_Logout(slot);
}

}  // namespace

void claimTokenLogins(CERTCertificate* certificate, const std::string& origin) {
    const std::lock_guard<std::mutex> hold(loginsLock);
    if (certificate->slot != nullptr) {
        claimLogin(certificate->slot, origin);
        return;
    }
    // A certificate not tied to one token: its key may be on any token that holds it.
    const SlotListPtr slots(PK11_GetAllSlotsForCert(certificate, nullptr));
    for (PK11SlotListElement* element = slots ? slots->head : nullptr; element != nullptr;
         element = element->next) {
        claimLogin(element->slot, origin);
    }
}

void recordTokenLogin(SECKEYPrivateKey* key, const std::string& origin) {
    PK11SlotInfo* slot = key->pkcs11Slot;
    if (slot == nullptr || !loggedIn(slot)) return;
    const std::lock_guard<std::mutex> hold(loginsLock);
    loginOrigins[tokenKey(slot)] = origin;
}

}  // namespace quillmark
