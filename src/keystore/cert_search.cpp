#include "keystore/cert_search.h"

#include <pkcs11.h>
#include <secmod.h>

#include <algorithm>

#include "keystore/cert_contents.h"
#include "keystore/certificate_store.h"
#include "keystore/found_keys.h"
#include "keystore/token_certificates.h"
#include "support/der_encoding.h"

namespace quillmark {
namespace {

// A PKCS #11 session of our own on a token, for a search NSS has no call for.
class TokenSession {
  public:
    explicit TokenSession(PK11SlotInfo* slot)
        : functions_(static_cast<CK_FUNCTION_LIST*>(PK11_GetModule(slot)->functionList)) {
        if (functions_ != nullptr &&
            functions_->C_OpenSession(PK11_GetSlotID(slot), CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &session_) != CKR_OK) {
            functions_ = nullptr;
        }
    }
    ~TokenSession() {
        if (functions_ != nullptr) functions_->C_CloseSession(session_);
    }
    TokenSession(const TokenSession&) = delete;
    TokenSession& operator=(const TokenSession&) = delete;

    // True when a search of the token's certificates can start.
    bool canSearch() {
        if (functions_ == nullptr) return false;
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE search{CKA_CLASS, &certificateClass, sizeof certificateClass};
        if (functions_->C_FindObjectsInit(session_, &search, 1) != CKR_OK) return false;
        functions_->C_FindObjectsFinal(session_);
        return true;
    }

    // The certificate objects whose CKA_SERIAL_NUMBER is `serialAttribute`.
    std::vector<CK_OBJECT_HANDLE> findCertificates(const Bytes& serialAttribute) {
        std::vector<CK_OBJECT_HANDLE> found;
        if (functions_ == nullptr) return found;
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE search[] = {
            {CKA_CLASS, &certificateClass, sizeof certificateClass},
            {CKA_SERIAL_NUMBER, const_cast<std::uint8_t*>(serialAttribute.data()),
             serialAttribute.size()}};
        if (functions_->C_FindObjectsInit(session_, search, 2) != CKR_OK) return found;
        CK_OBJECT_HANDLE handles[16];
        CK_ULONG count = 0;
        while (functions_->C_FindObjects(session_, handles, 16, &count) == CKR_OK && count > 0)
            found.insert(found.end(), handles, handles + count);
        functions_->C_FindObjectsFinal(session_);
        return found;
    }

    // The DER encoding of a certificate object; empty when it cannot be read.
    Bytes valueOf(CK_OBJECT_HANDLE object) {
        CK_ATTRIBUTE value{CKA_VALUE, nullptr, 0};
        if (functions_->C_GetAttributeValue(session_, object, &value, 1) != CKR_OK ||
            value.ulValueLen == CK_UNAVAILABLE_INFORMATION) {
            return Bytes();
        }
        Bytes der(value.ulValueLen);
        value.pValue = der.data();
        if (functions_->C_GetAttributeValue(session_, object, &value, 1) != CKR_OK) return Bytes();
        der.resize(value.ulValueLen);
        return der;
    }

  private:
    CK_FUNCTION_LIST* functions_;
    CK_SESSION_HANDLE session_ = CK_INVALID_HANDLE;
};

// CKA_SERIAL_NUMBER holds the DER INTEGER; some tokens keep the bare content bytes instead.
std::vector<Bytes> serialAttributesFor(const Bytes& serial) {
    constexpr std::uint8_t kIntegerTag = 0x02;
    Bytes integer{kIntegerTag};
    const Bytes length = derLength(serial.size());
    integer.insert(integer.end(), length.begin(), length.end());
    integer.insert(integer.end(), serial.begin(), serial.end());
    return {integer, serial};
}

// The user certificate behind a found object, when its serial really is `serial`.
CertificatePtr userCertificateFor(PK11SlotInfo* slot, Bytes der, const Bytes& serial) {
    if (der.empty()) return nullptr;
    SECItem item{siBuffer, der.data(), static_cast<unsigned>(der.size())};
    // Found without logging in: the PIN is asked only when the key is needed.
    CertificatePtr certificate(
        CERT_NewTempCertificate(CERT_GetDefaultCertDB(), &item, nullptr, PR_FALSE, PR_TRUE));
    if (!certificate || serialNumberOf(certificate.get()) != serial ||
        !isUsersCertificate(slot, certificate.get())) {
        return nullptr;
    }
    return certificate;
}

// Every user certificate whose serial number bytes are `serial`, in token and handle order.
std::vector<CertificatePtr> userCertificatesWithSerial(CertificateStore& store,
                                                       const Bytes& serial) {
    std::vector<CertificatePtr> found;
    if (serial.empty()) return found;
    for (const SlotPtr& slot : presentTokens(store)) {
        TokenSession session(slot.get());
        for (const Bytes& attribute : serialAttributesFor(serial)) {
            for (CK_OBJECT_HANDLE object : session.findCertificates(attribute)) {
                if (CertificatePtr certificate =
                        userCertificateFor(slot.get(), session.valueOf(object), serial)) {
                    found.push_back(std::move(certificate));
                }
            }
        }
    }
    return found;
}

// The search findUserCertificate makes when nothing is kept for the serial.
CertificatePtr searchUserCertificate(CertificateStore& store, const Bytes& serial) {
    std::vector<CertificatePtr> found = userCertificatesWithSerial(store, serial);
    if (found.size() <= 1) return found.empty() ? nullptr : std::move(found.front());
    // Several certificates share the serial: the one the listing shows first. The found
    // certificates are let go first: while they are held, NSS lists them in another order
    // than getCerts saw.
    std::vector<Bytes> encodings;
    for (const CertificatePtr& candidate : found)
        encodings.emplace_back(candidate->derCert.data,
                               candidate->derCert.data + candidate->derCert.len);
    found.clear();
    const CertificateListPtr listed = listUserCertificates(store);
    if (!listed) return nullptr;
    for (CERTCertificate* certificate : certificatesOf(listed.get())) {
        const Bytes encoding(certificate->derCert.data,
                             certificate->derCert.data + certificate->derCert.len);
        if (std::find(encodings.begin(), encodings.end(), encoding) != encodings.end())
            return CertificatePtr(CERT_DupCertificate(certificate));
    }
    return nullptr;
}

}  // namespace

CertificatePtr findUserCertificate(CertificateStore& store, const Bytes& serial) {
    // A token that came or went since the last request makes what was kept go first.
    settleChangedSlots(store);
    if (CertificatePtr kept = keptCertificate(store.found, serial)) return kept;
    CertificatePtr found = searchUserCertificate(store, serial);
    if (found) keepCertificate(store.found, serial, found.get());
    return found;
}

bool tokenAnswersSearches(PK11SlotInfo* slot) {
    return TokenSession(slot).canSearch();
}

CertificateListPtr listUserCertificates(CertificateStore& store) {
    return CertificateListPtr(listTokenUserCertificates(store));
}

std::vector<CERTCertificate*> certificatesOf(const CERTCertList* list) {
    std::vector<CERTCertificate*> certificates;
    auto* mutableList = const_cast<CERTCertList*>(list);
    for (CERTCertListNode* node = CERT_LIST_HEAD(mutableList); !CERT_LIST_END(node, mutableList);
         node = CERT_LIST_NEXT(node)) {
        certificates.push_back(node->cert);
    }
    return certificates;
}

ChainPtr buildChain(CERTCertificate* certificate) {
    return ChainPtr(CERT_CertChainFromCert(certificate, certUsageEmailSigner, PR_TRUE));
}

}  // namespace quillmark
