#include "keystore/cert_store.h"

#include <cryptohi.h>
#include <pkcs11.h>
#include <secerr.h>
#include <secmod.h>
#include <secoid.h>

#include <cstring>
#include <new>

#include "keystore/token_certificates.h"
#include "support/der_encoding.h"

namespace quillmark {
namespace {

struct ArenaDeleter {
    void operator()(PLArenaPool* arena) const { PORT_FreeArena(arena, PR_FALSE); }
};
using ArenaPtr = std::unique_ptr<PLArenaPool, ArenaDeleter>;

constexpr char kOidPrefix[] = "OID.";

SECOidTag hashTag(HashAlgorithm algorithm) {
    switch (algorithm) {
        case HashAlgorithm::Sha256:
            return SEC_OID_SHA256;
        case HashAlgorithm::Sha384:
            return SEC_OID_SHA384;
        case HashAlgorithm::Sha512:
            return SEC_OID_SHA512;
        case HashAlgorithm::Sha1:
            break;
    }
    return SEC_OID_SHA1;
}

// The paths (see berToDer) of what a signed message takes whole from its signer's
// certificate: each certificate in SignedData's [0] certificates, and the issuer name and
// serial number that identify the signer in each SignerInfo (its algorithm identifiers share
// that path; NSS writes them as DER already).
const std::vector<Bytes> kCopiedFromCertificate = {
    {0x30, 0xa0, 0x30, 0xa0},
    {0x30, 0xa0, 0x30, 0x31, 0x30, 0x30},
};

Bytes bytesOf(const SECItem& item) {
    return Bytes(item.data, item.data + item.len);
}

// The value of the first common name in encoding order (CERT_GetCommonName gives the last).
OptionalText firstCommonName(const CERTName& subject) {
    for (CERTRDN** rdn = subject.rdns; rdn != nullptr && *rdn != nullptr; ++rdn) {
        for (CERTAVA** ava = (*rdn)->avas; ava != nullptr && *ava != nullptr; ++ava) {
            if (CERT_GetAVATag(*ava) != SEC_OID_AVA_COMMON_NAME) continue;
            const ItemPtr value(CERT_DecodeAVAValue(&(*ava)->value));
            if (!value) continue;
            return std::string(value->data, value->data + value->len);
        }
    }
    return std::nullopt;
}

// The first common name, else the first of the other name getters that finds something, as
// an owned text.
std::string firstNamePart(const CERTCertificate* certificate) {
    if (OptionalText name = firstCommonName(certificate->subject)) return *name;
    CERTName* subject = const_cast<CERTName*>(&certificate->subject);
    for (auto getter : {CERT_GetCertEmailAddress, CERT_GetOrgUnitName, CERT_GetOrgName}) {
        if (PortTextPtr part{getter(subject)}) return part.get();
    }
    return std::string();
}

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
std::vector<CertificatePtr> userCertificatesWithSerial(const Bytes& serial) {
    std::vector<CertificatePtr> found;
    if (serial.empty()) return found;
    const SlotListPtr slots(presentTokens());
    if (!slots) return found;
    for (PK11SlotListElement* element = slots->head; element != nullptr; element = element->next) {
        TokenSession session(element->slot);
        for (const Bytes& attribute : serialAttributesFor(serial)) {
            for (CK_OBJECT_HANDLE object : session.findCertificates(attribute)) {
                if (CertificatePtr certificate =
                        userCertificateFor(element->slot, session.valueOf(object), serial)) {
                    found.push_back(std::move(certificate));
                }
            }
        }
    }
    return found;
}

}  // namespace

CertificatePtr findUserCertificate(const Bytes& serial) {
    std::vector<CertificatePtr> found = userCertificatesWithSerial(serial);
    if (found.size() <= 1) return found.empty() ? nullptr : std::move(found.front());
    // Several certificates share the serial: the one the listing shows first.
    const CertificateListPtr listed = listUserCertificates();
    if (!listed) return nullptr;
    for (CERTCertificate* certificate : certificatesOf(listed.get())) {
        for (const CertificatePtr& candidate : found) {
            if (CERT_CompareCerts(certificate, candidate.get()))
                return CertificatePtr(CERT_DupCertificate(certificate));
        }
    }
    return nullptr;
}

bool tokenAnswersSearches(PK11SlotInfo* slot) {
    return TokenSession(slot).canSearch();
}

CertificateListPtr listUserCertificates() {
    return CertificateListPtr(listTokenUserCertificates());
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

std::string displayName(const CERTCertificate* certificate) {
    return firstNamePart(certificate);
}

Bytes serialNumberOf(const CERTCertificate* certificate) {
    return bytesOf(certificate->serialNumber);
}

HashAlgorithm certificateHash(const CERTCertificate* certificate) {
    switch (SECOID_GetAlgorithmTag(&certificate->signature)) {
        case SEC_OID_PKCS1_SHA256_WITH_RSA_ENCRYPTION:
        case SEC_OID_ANSIX962_ECDSA_SHA256_SIGNATURE:
            return HashAlgorithm::Sha256;
        case SEC_OID_PKCS1_SHA384_WITH_RSA_ENCRYPTION:
        case SEC_OID_ANSIX962_ECDSA_SHA384_SIGNATURE:
            return HashAlgorithm::Sha384;
        case SEC_OID_PKCS1_SHA512_WITH_RSA_ENCRYPTION:
        case SEC_OID_ANSIX962_ECDSA_SHA512_SIGNATURE:
            return HashAlgorithm::Sha512;
        default:
            return HashAlgorithm::Sha1;
    }
}

std::string signatureAlgorithmOid(const CERTCertificate* certificate) {
    PortTextPtr text{CERT_GetOidString(&certificate->signature.algorithm)};
    if (!text) return std::string();
    const char* oid = text.get();
    if (std::strncmp(oid, kOidPrefix, sizeof kOidPrefix - 1) == 0) oid += sizeof kOidPrefix - 1;
    return oid;
}

ChainPtr buildChain(CERTCertificate* certificate) {
    return ChainPtr(CERT_CertChainFromCert(certificate, certUsageEmailSigner, PR_TRUE));
}

PrivateKeyPtr findPrivateKey(CERTCertificate* certificate, const PinPromptContext* prompt) {
    return PrivateKeyPtr(findTokenPrivateKey(certificate, prompt));
}

DigestPtr createDigest(HashAlgorithm algorithm) {
    DigestPtr digest(PK11_CreateDigestContext(hashTag(algorithm)));
    if (digest && PK11_DigestBegin(digest.get()) != SECSuccess) digest.reset();
    return digest;
}

OptionalBytes digestData(PK11Context* digest, const std::uint8_t* data, std::size_t count) {
    if (count != 0 && PK11_DigestOp(digest, data, static_cast<unsigned>(count)) != SECSuccess) {
        return std::nullopt;
    }
    Bytes value(HASH_LENGTH_MAX);
    unsigned length = 0;
    if (PK11_DigestFinal(digest, value.data(), &length, static_cast<unsigned>(value.size())) !=
        SECSuccess) {
        return std::nullopt;
    }
    value.resize(length);
    return value;
}

unsigned signatureLength(CERTCertificate* certificate) {
    const std::unique_ptr<SECKEYPublicKey, NssDeleter> key(CERT_ExtractPublicKey(certificate));
    const unsigned length = key ? SECKEY_SignatureLen(key.get()) : 0;
    if (length == 0) {
        PORT_SetError(SEC_ERROR_INVALID_KEY);
        return 0;
    }
    return length;
}

OptionalBytes allocateSignature(unsigned length) {
    try {
        return Bytes(length);
    } catch (const std::bad_alloc&) {
        PORT_SetError(SEC_ERROR_NO_MEMORY);
        return std::nullopt;
    }
}

bool signDigest(SECKEYPrivateKey* key, HashAlgorithm algorithm, const Bytes& digest,
                Bytes& signature) {
    SECItem digestItem{siBuffer, const_cast<unsigned char*>(digest.data()),
                       static_cast<unsigned>(digest.size())};
    SECItem result{siBuffer, nullptr, 0};
    if (SGN_Digest(key, hashTag(algorithm), &result, &digestItem) != SECSuccess) return false;
    // RSA signatures fill the length, and so do ECDSA ones: SGN_Digest gives r and s side by
    // side at their fixed size (64 bytes for P-256), not DER. A longer result is refused.
    const bool fits = result.len <= signature.size();
    if (fits) {
        std::memcpy(signature.data(), result.data, result.len);
        signature.resize(result.len);
    } else {
        PORT_SetError(SEC_ERROR_OUTPUT_LEN);
    }
    SECITEM_FreeItem(&result, PR_FALSE);
    return fits;
}

SignedMessagePtr createSignedMessage(CERTCertificate* signer, HashAlgorithm algorithm) {
    SignedMessagePtr message(NSS_CMSMessage_Create(nullptr));
    if (!message) return nullptr;
    NSSCMSMessage* cms = message.get();
    NSSCMSSignedData* signedData = NSS_CMSSignedData_Create(cms);
    if (signedData == nullptr) return nullptr;
    if (NSS_CMSContentInfo_SetContent_SignedData(cms, NSS_CMSMessage_GetContentInfo(cms),
                                                 signedData) != SECSuccess) {
        NSS_CMSSignedData_Destroy(signedData);
        return nullptr;
    }
    // Attached: the content is given to the encoder.
    if (NSS_CMSContentInfo_SetContent_Data(cms, NSS_CMSSignedData_GetContentInfo(signedData),
                                           nullptr, PR_FALSE) != SECSuccess) {
        return nullptr;
    }
    NSSCMSSignerInfo* signerInfo = NSS_CMSSignerInfo_Create(cms, signer, hashTag(algorithm));
    if (signerInfo == nullptr) return nullptr;
    // IncludeCerts with CertOnly carries the signer's certificate alone.
    if (NSS_CMSSignerInfo_IncludeCerts(signerInfo, NSSCMSCM_CertOnly, certUsageEmailSigner) !=
            SECSuccess ||
        NSS_CMSSignedData_AddSignerInfo(signedData, signerInfo) != SECSuccess) {
        NSS_CMSSignerInfo_Destroy(signerInfo);
        return nullptr;
    }
    return message;
}

OptionalBytes encodeSignedMessage(NSSCMSMessage* message, const Bytes& content) {
    ArenaPtr arena(PORT_NewArena(DER_DEFAULT_CHUNKSIZE));
    if (!arena) return std::nullopt;
    SECItem input{siBuffer, const_cast<unsigned char*>(content.data()),
                  static_cast<unsigned>(content.size())};
    SECItem encoded{siBuffer, nullptr, 0};
    if (NSS_CMSDEREncode(message, &input, &encoded, arena.get()) != SECSuccess) return std::nullopt;
    // NSS's encoder writes indefinite lengths (BER); the reply carries DER of the message
    // with the certificate's bytes as they stand.
    OptionalBytes der = berToDer(encoded.data, encoded.len, kCopiedFromCertificate);
    if (!der) PORT_SetError(SEC_ERROR_BAD_DER);
    return der;
}

}  // namespace quillmark
