#include "keystore/token_certificates.h"

#include <pkcs11.h>
#include <prerror.h>
#include <secmod.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "keystore/certificate_store.h"
#include "keystore/found_keys.h"
#include "keystore/keypad_login.h"
#include "keystore/nss_pointers.h"
#include "keystore/pin_prompter.h"
#include "keystore/token_logins.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// NSS reads a removable slot's state at most once a second and answers from memory in
// between, so a token plugged in or pulled out just before a request would be seen late.
// Waiting for NSS's next reading ends within a second of its last one; the limit only
// bounds the wait for a token NSS cannot bring up.
constexpr std::chrono::milliseconds kSettleLimit(1000);
constexpr std::chrono::milliseconds kSettlePoll(20);

constexpr char kPinDialogCancelledLog[] = "PIN dialog cancelled";
constexpr char kPinDialogNotShownLog[] = "no PIN dialog could be shown";

// A removable slot and what its module reported about it.
struct ReportedSlot {
    SlotPtr slot;
    bool tokenPresent;
};

std::vector<ModulePtr> loadedModules() {
    std::vector<ModulePtr> modules;
    SECMODListLock* lock = SECMOD_GetDefaultModuleListLock();
    SECMOD_GetReadLock(lock);
    for (SECMODModuleList* entry = SECMOD_GetDefaultModuleList(); entry != nullptr;
         entry = entry->next) {
        modules.emplace_back(SECMOD_ReferenceModule(entry->module));
    }
    SECMOD_ReleaseReadLock(lock);
    return modules;
}

std::vector<SlotPtr> removableSlotsOf(SECMODModule* module) {
    std::vector<SlotPtr> slots;
    SECMODListLock* lock = SECMOD_GetDefaultModuleListLock();
    SECMOD_GetReadLock(lock);
    for (int index = 0; index < module->slotCount; ++index) {
        if (PK11_IsRemovable(module->slots[index]))
            slots.emplace_back(PK11_ReferenceSlot(module->slots[index]));
    }
    SECMOD_ReleaseReadLock(lock);
    return slots;
}

// Whether the slot's module reports a token in it now, past NSS's memory of the slot.
bool moduleReportsToken(PK11SlotInfo* slot) {
    auto* functions = static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList);
    CK_SLOT_INFO info;
    return functions != nullptr &&
           functions->C_GetSlotInfo(PK11_GetSlotID(slot), &info) == CKR_OK &&
           (info.flags & CKF_TOKEN_PRESENT) != 0;
}

// The removable slots whose token came or went since the previous request, or that are new.
std::vector<ReportedSlot> changedSlots(ReportedSlots& slots) {
    auto& reported = slots.tokenPresent;
    std::vector<ReportedSlot> changed;
    for (const ModulePtr& module : loadedModules()) {
        // A module that gained a slot (a reader plugged in) has it added here.
        SECMOD_UpdateSlotList(module.get());
        for (SlotPtr& slot : removableSlotsOf(module.get())) {
            const bool tokenPresent = moduleReportsToken(slot.get());
            const auto key =
                std::make_pair(std::string(module->dllName != nullptr ? module->dllName : ""),
                               PK11_GetSlotID(slot.get()));
            const auto known = reported.find(key);
            if (known != reported.end() && known->second == tokenPresent) continue;
            reported[key] = tokenPresent;
            changed.push_back({std::move(slot), tokenPresent});
        }
    }
    return changed;
}

bool nssAgrees(const std::vector<ReportedSlot>& slots) {
    for (const ReportedSlot& reported : slots) {
        if ((PK11_IsPresent(reported.slot.get()) == PR_TRUE) != reported.tokenPresent) return false;
    }
    return true;
}

}  // namespace

void settleChangedSlots(CertificateStore& store) {
    const std::vector<ReportedSlot> changed = changedSlots(store.slots);
    if (!changed.empty()) forgetFoundKeys(store.found);
    const auto deadline = std::chrono::steady_clock::now() + kSettleLimit;
    while (!nssAgrees(changed) && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(kSettlePoll);
}

namespace {

bool keysHiddenUntilLogin(PK11SlotInfo* slot) {
    return !PK11_IsInternal(slot) && PK11_NeedLogin(slot);
}

// Adds the user's certificates on one token that `listed` does not hold yet.
void addTokenCertificates(PK11SlotInfo* slot, CERTCertList* users,
                          std::set<CERTCertificate*>& listed) {
    // Lists the token's certificate objects without logging in.
    const CertificateListPtr all(PK11_ListCertsInSlot(slot));
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

// What the log says of a key lookup that failed: the PIN dialog's end when it explains the
// failure, else NSS's error.
std::string keyFailureCause(PRErrorCode cause, PinDialogOutcome dialog) {
    switch (dialog) {
        case PinDialogOutcome::Cancelled:
            return kPinDialogCancelledLog;
        case PinDialogOutcome::NotShown:
            return kPinDialogNotShownLog;
        case PinDialogOutcome::NotAsked:
        case PinDialogOutcome::Answered:
            break;
    }
    const char* name = PR_ErrorToName(cause);
    return name != nullptr ? name : std::to_string(cause);
}

}  // namespace

bool isUsersCertificate(PK11SlotInfo* slot, CERTCertificate* certificate) {
    return CERT_IsUserCert(certificate) ||
           (keysHiddenUntilLogin(slot) && !CERT_IsCACert(certificate, nullptr));
}

std::vector<SlotPtr> presentTokens(CertificateStore& store) {
    settleChangedSlots(store);
    const SlotListPtr all(PK11_GetAllTokens(CKM_INVALID_MECHANISM, PR_FALSE, PR_FALSE, nullptr));
    std::vector<SlotPtr> tokens;
    for (PK11SlotListElement* element = all ? all->head : nullptr; element != nullptr;
         element = element->next) {
        // A token waiting for its PIN on the reader's keypad is left aside until the login
        // returns: its module may not answer before.
        if (!keypadLoginUnderWay(element->slot))
            tokens.emplace_back(PK11_ReferenceSlot(element->slot));
    }
    return tokens;
}

CERTCertList* listTokenUserCertificates(CertificateStore& store) {
    CertificateListPtr users(CERT_NewCertList());
    if (!users) return nullptr;
    std::set<CERTCertificate*> listed;
    for (const SlotPtr& slot : presentTokens(store))
        addTokenCertificates(slot.get(), users.get(), listed);
    return users.release();
}

SECKEYPrivateKey* findTokenPrivateKey(CERTCertificate* certificate, PinSession& session) {
    // NSS hands the session to the PIN callback, which names the site and the certificate.
    void* passwordArgument = &session;
    PK11SlotInfo* slot = certificate->slot;
    const std::string& origin = session.context.origin;
    CertificateStore& store = session.store.store();
    claimTokenLogins(store.logins, certificate, origin);
    if (PrivateKeyPtr key = keptKey(store.found, certificate, passwordArgument))
        return key.release();
    session.outcome = PinDialogOutcome::NotAsked;
    SECKEYPrivateKey* key = slot != nullptr
                                ? PK11_FindPrivateKeyFromCert(slot, certificate, passwordArgument)
                                : PK11_FindKeyByAnyCert(certificate, passwordArgument);
    if (key != nullptr) {
        recordTokenLogin(store.logins, key, origin);
        keepKey(store.found, certificate, key);
        return key;
    }
    // A cancelled or wrong PIN, a locked PIN, a dialog not shown and a token gone away end
    // here alike.
    const PRErrorCode cause = PORT_GetError();
    writeLog(std::string("No private key on ") +
             (slot != nullptr ? PK11_GetTokenName(slot) : "any token") + ": " +
             keyFailureCause(cause, session.outcome));
    PORT_SetError(cause);
    return key;
}

}  // namespace quillmark
