#include "keystore/found_keys.h"

#include <pk11pub.h>

#include <algorithm>
#include <deque>
#include <mutex>
#include <utility>

namespace quillmark {
namespace {

// Enough for the certificates a person signs with in one sitting; a page asking for many
// serials only ever holds this many.
constexpr std::size_t kKeptSerials = 16;

// A token as it was when something was found on it: a token pulled out and put back, or
// another one in the slot, has a new series.
class TokenSeen {
  public:
    TokenSeen() = default;
    explicit TokenSeen(PK11SlotInfo* slot)
        : slot_(slot != nullptr ? PK11_ReferenceSlot(slot) : nullptr),
          series_(slot != nullptr ? PK11_GetSlotSeries(slot) : 0) {}

    bool unchanged() const {
        return !slot_ ||
               (PK11_IsPresent(slot_.get()) && PK11_GetSlotSeries(slot_.get()) == series_);
    }

  private:
    SlotPtr slot_;
    int series_ = 0;
};

struct FoundKey {
    Bytes serial;
    CertificatePtr certificate;
    TokenSeen certificateToken;
    PrivateKeyPtr key;  // null until a request found it
    TokenSeen keyToken;
};

std::mutex keptLock;
std::deque<FoundKey> kept;  // the most recently found last

FoundKey* entryFor(CERTCertificate* certificate) {
    const auto found = std::find_if(kept.begin(), kept.end(), [&](const FoundKey& entry) {
        return entry.certificate.get() == certificate;
    });
    return found != kept.end() ? &*found : nullptr;
}

bool usableWithoutLogin(SECKEYPrivateKey* key) {
    PK11SlotInfo* slot = key->pkcs11Slot;
    return !PK11_NeedLogin(slot) || PK11_IsLoggedIn(slot, nullptr);
}

}  // namespace

CertificatePtr keptCertificate(const Bytes& serial) {
    const std::lock_guard<std::mutex> hold(keptLock);
    const auto found = std::find_if(kept.begin(), kept.end(),
                                    [&](const FoundKey& entry) { return entry.serial == serial; });
    if (found == kept.end()) return nullptr;
    if (!found->certificateToken.unchanged()) {
        kept.erase(found);
        return nullptr;
    }
    return CertificatePtr(CERT_DupCertificate(found->certificate.get()));
}

void keepCertificate(const Bytes& serial, CERTCertificate* certificate) {
    const std::lock_guard<std::mutex> hold(keptLock);
    kept.erase(std::remove_if(kept.begin(), kept.end(),
                              [&](const FoundKey& entry) { return entry.serial == serial; }),
               kept.end());
    if (kept.size() == kKeptSerials) kept.pop_front();
    kept.push_back({serial, CertificatePtr(CERT_DupCertificate(certificate)),
                    TokenSeen(certificate->slot), nullptr, TokenSeen()});
}

PrivateKeyPtr keptKey(CERTCertificate* certificate, void* passwordArgument) {
    const std::lock_guard<std::mutex> hold(keptLock);
    FoundKey* entry = entryFor(certificate);
    if (entry == nullptr || !entry->key) return nullptr;
    if (!entry->keyToken.unchanged() || !usableWithoutLogin(entry->key.get())) {
        entry->key.reset();
        return nullptr;
    }
    PrivateKeyPtr key(SECKEY_CopyPrivateKey(entry->key.get()));
    if (key) key->wincx = passwordArgument;
    return key;
}

void keepKey(CERTCertificate* certificate, SECKEYPrivateKey* key) {
    const std::lock_guard<std::mutex> hold(keptLock);
    FoundKey* entry = entryFor(certificate);
    if (entry == nullptr) return;
    entry->key.reset(SECKEY_CopyPrivateKey(key));
    if (entry->key) entry->key->wincx = nullptr;  // the finder's, gone with its request
    entry->keyToken = TokenSeen(key->pkcs11Slot);
}

void forgetFoundKeys() {
    const std::lock_guard<std::mutex> hold(keptLock);
    kept.clear();
}

}  // namespace quillmark
