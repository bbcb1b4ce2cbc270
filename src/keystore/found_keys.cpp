#include "keystore/found_keys.h"

#include <pk11pub.h>

#include <algorithm>
#include <deque>
#include <utility>

namespace quillmark {
namespace {

// Enough for the certificates a person signs with in one sitting; a page asking for many
// serials only ever holds this many.
constexpr std::size_t kKeptSerials = 16;

FoundKey* entryFor(FoundKeys& found, CERTCertificate* certificate) {
    const auto entry =
        std::find_if(found.entries.begin(), found.entries.end(),
                     [&](const FoundKey& e) { return e.certificate.get() == certificate; });
    return entry != found.entries.end() ? &*entry : nullptr;
}

bool usableWithoutLogin(SECKEYPrivateKey* key) {
    PK11SlotInfo* slot = key->pkcs11Slot;
    return !PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, nullptr);
}

}  // namespace

TokenSeen::TokenSeen(PK11SlotInfo* slot)
    : slot_(slot != nullptr ? PK11_ReferenceSlot(slot) : nullptr),
      series_(slot != nullptr ? PK11_GetSlotSeries(slot) : 0) {}

bool TokenSeen::unchanged() const {
    return !slot_ || (PK11_IsPresent(slot_.get()) && PK11_GetSlotSeries(slot_.get()) == series_);
}

CertificatePtr keptCertificate(FoundKeys& keys, const Bytes& serial) {
    std::deque<FoundKey>& kept = keys.entries;
    const auto found = std::find_if(kept.begin(), kept.end(),
                                    [&](const FoundKey& entry) { return entry.serial == serial; });
    if (found == kept.end()) return nullptr;
    if (!found->certificateToken.unchanged()) {
        kept.erase(found);
        return nullptr;
    }
    return CertificatePtr(CERT_DupCertificate(found->certificate.get()));
}

void keepCertificate(FoundKeys& keys, const Bytes& serial, CERTCertificate* certificate) {
    std::deque<FoundKey>& kept = keys.entries;
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [&](const FoundKey& entry) { return entry.serial == serial; }),
               kept.end());
    if (kept.size() == kKeptSerials) kept.pop_front();
    kept.push_back({serial, CertificatePtr(CERT_DupCertificate(certificate)),
                    TokenSeen(certificate->slot), nullptr, TokenSeen()});
}

PrivateKeyPtr keptKey(FoundKeys& found, CERTCertificate* certificate, void* passwordArgument) {
    FoundKey* entry = entryFor(found, certificate);
    if (entry == nullptr || !entry->key) return nullptr;
    if (!entry->keyToken.unchanged() || !usableWithoutLogin(entry->key.get())) {
        entry->key.reset();
        return nullptr;
    }
    PrivateKeyPtr key(SECKEY_CopyPrivateKey(entry->key.get()));
    if (key) key->wincx = passwordArgument;
    return key;
}

void keepKey(FoundKeys& found, CERTCertificate* certificate, SECKEYPrivateKey* key) {
    FoundKey* entry = entryFor(found, certificate);
    if (entry == nullptr) return;
    entry->key.reset(SECKEY_CopyPrivateKey(key));
    if (entry->key) entry->key->wincx = nullptr;  // the finder's, gone with its request
    entry->keyToken = TokenSeen(key->pkcs11Slot);
}

void forgetFoundKeys(FoundKeys& found) {
    found.entries.clear();
}

}  // namespace quillmark
