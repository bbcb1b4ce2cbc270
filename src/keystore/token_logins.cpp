#include "keystore/token_logins.h"

#include <pk11pub.h>

#include "keystore/nss_pointers.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

TokenLogins::Token tokenKey(PK11SlotInfo* slot) {
    return {PK11_GetModuleID(slot), PK11_GetSlotID(slot), PK11_GetSlotSeries(slot)};
}

bool loggedIn(PK11SlotInfo* slot) {
    return PK11_NeedLogin(slot) && PK11_IsLoggedIn(slot, nullptr);
}

void claimLogin(TokenLogins& logins, PK11SlotInfo* slot, const std::string& origin) {
    if (!loggedIn(slot)) return;
    const auto owner = logins.origins.find(tokenKey(slot));
    if (owner != logins.origins.end() && owner->second == origin) return;
    if (owner != logins.origins.end()) logins.origins.erase(owner);
    writeLog(std::string("Logged out of ") + PK11_GetTokenName(slot) +
             ": its PIN was given for another site");
    PK11_Logout(slot);
}

}  // namespace

void claimTokenLogins(TokenLogins& logins, CERTCertificate* certificate,
                      const std::string& origin) {
    if (certificate->slot != nullptr) {
        claimLogin(logins, certificate->slot, origin);
        return;
    }
    // A certificate not tied to one token: its key may be on any token that holds it.
    const SlotListPtr slots(PK11_GetAllSlotsForCert(certificate, nullptr));
    for (PK11SlotListElement* element = slots ? slots->head : nullptr; element != nullptr;
         element = element->next) {
        claimLogin(logins, element->slot, origin);
    }
}

void recordTokenLogin(TokenLogins& logins, SECKEYPrivateKey* key, const std::string& origin) {
    PK11SlotInfo* slot = key->pkcs11Slot;
    if (slot == nullptr || !loggedIn(slot)) return;
    logins.origins[tokenKey(slot)] = origin;
}

}  // namespace quillmark
