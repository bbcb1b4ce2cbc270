#include "platform/token_certificates.h"

#include <prerror.h>

#include <memory>
#include <set>
#include <string>

#include "support/log_file.h"

namespace quillmark {
namespace {

struct NssDeleter {
    void operator()(PK11SlotList* slots) const { PK11_FreeSlotList(slots); }
    void operator()(CERTCertList* list) const { CERT_DestroyCertList(list); }
};
using SlotListPtr = std::unique_ptr<PK11SlotList, NssDeleter>;
using CertListPtr = std::unique_ptr<CERTCertList, NssDeleter>;

bool keysHiddenUntilLogin(PK11SlotInfo* slot) {
    return !PK11_IsInternal(slot) && PK11_NeedLogin(slot);
}

// Adds the user's certificates on one token that `listed` does not hold yet.
void addTokenCertificates(PK11SlotInfo* slot, CERTCertList* users,
                          std::set<CERTCertificate*>& listed) {
    // Lists the token's certificate objects without logging in.
    const CertListPtr all(PK11_ListCertsInSlot(slot));
    if (!all) return;
    for (CERTCertListNode* node = CERT_LIST_HEAD(all.get()); !CERT_LIST_END(node, all.get());
         node = CERT_LIST_NEXT(node)) {
        // NSS keeps one certificate object per encoding, whichever token it came from.
        CERTCertificate* certificate = node->cert;
        if (listed.count(certificate) != 0 || !isUsersCertificate(slot, certificate)) continue;
        CERTCertificate* copy = CERT_DupCertificate(certificate);
        if (CERT_AddCertToListTail(users, copy) != SECSuccess) {
            CERT_DestroyCertificate(copy);
            continue;
        }
        listed.insert(certificate);
    }
}

}  // namespace

bool isUsersCertificate(PK11SlotInfo* slot, CERTCertificate* certificate) {
    return CERT_IsUserCert(certificate) ||
           (keysHiddenUntilLogin(slot) && !CERT_IsCACert(certificate, nullptr));
}

CERTCertList* listTokenUserCertificates() {
    CertListPtr users(CERT_NewCertList());
    const SlotListPtr slots(PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr));
    if (!users) return nullptr;
    std::set<CERTCertificate*> listed;
    for (PK11SlotListElement* element = slots ? slots->head : nullptr; element != nullptr;
         element = element->next) {
        addTokenCertificates(element->slot, users.get(), listed);
    }
    return users.release();
}

SECKEYPrivateKey* findTokenPrivateKey(CERTCertificate* certificate,
                                      const PinPromptContext* prompt) {
    // NSS hands the prompt to the PIN callback, which names the site and the certificate.
    void* passwordArgument = const_cast<PinPromptContext*>(prompt);
    PK11SlotInfo* slot = certificate->slot;
    SECKEYPrivateKey* key = slot != nullptr
                                ? PK11_FindPrivateKeyFromCert(slot, certificate, passwordArgument)
                                : PK11_FindKeyByAnyCert(certificate, passwordArgument);
    if (key == nullptr) {
        // A cancelled or wrong PIN, a locked PIN and a token gone away end here alike.
        const PRErrorCode cause = PORT_GetError();
        const char* name = PR_ErrorToName(cause);
        writeLog(std::string("No private key on ") +
                 (slot != nullptr ? PK11_GetTokenName(slot) : "any token") + ": " +
                 (name != nullptr ? name : std::to_string(cause)));
        PORT_SetError(cause);
    }
    return key;
}

}  // namespace quillmark
