#include "platform/cert_store.h"

#include <cryptohi.h>
#include <secerr.h>
#include <secoid.h>

#include <cstring>
#include <new>

#include "support/der_encoding.h"

namespace quillmark {
namespace {

struct ArenaDeleter {
    void operator()(PLArenaPool* arena) const { PORT_FreeArena(arena, PR_FALSE); }
};
using ArenaPtr = std::unique_ptr<PLArenaPool, ArenaDeleter>;

struct PortTextDeleter {
    void operator()(char* text) const { PORT_Free(text); }
};
using PortTextPtr = std::unique_ptr<char, PortTextDeleter>;

constexpr char kOidPrefix[] = "OID.";

SECOidTag hashTag(HashAlgorithm algorithm) {
    return algorithm == HashAlgorithm::Sha256 ? SEC_OID_SHA256 : SEC_OID_SHA1;
}

Bytes bytesOf(const SECItem& item) {
    return Bytes(item.data, item.data + item.len);
}

// The first of the name getters that finds something, as an owned text.
std::string firstNamePart(const CERTCertificate* certificate) {
    CERTName* subject = const_cast<CERTName*>(&certificate->subject);
    for (auto getter :
         {CERT_GetCommonName, CERT_GetCertEmailAddress, CERT_GetOrgUnitName, CERT_GetOrgName}) {
        if (PortTextPtr part{getter(subject)})
            return part.get();
    }
    return std::string();
}

}  // namespace

CertificateListPtr listUserCertificates() {
    return CertificateListPtr(PK11_ListCerts(PK11CertListUser, nullptr));
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

Bytes derOf(const CERTCertificate* certificate) {
    return bytesOf(certificate->derCert);
}

std::string signatureAlgorithmOid(const CERTCertificate* certificate) {
    PortTextPtr text{CERT_GetOidString(&certificate->signature.algorithm)};
    if (!text)
        return std::string();
    const char* oid = text.get();
    if (std::strncmp(oid, kOidPrefix, sizeof kOidPrefix - 1) == 0)
        oid += sizeof kOidPrefix - 1;
    return oid;
}

ChainPtr buildChain(CERTCertificate* certificate) {
    return ChainPtr(CERT_CertChainFromCert(certificate, certUsageEmailSigner, PR_TRUE));
}

PrivateKeyPtr findPrivateKey(CERTCertificate* certificate) {
    return PrivateKeyPtr(PK11_FindKeyByAnyCert(certificate, nullptr));
}

DigestPtr createDigest(HashAlgorithm algorithm) {
    DigestPtr digest(PK11_CreateDigestContext(hashTag(algorithm)));
    if (digest && PK11_DigestBegin(digest.get()) != SECSuccess)
        digest.reset();
    return digest;
}

OptionalBytes digestData(PK11Context* digest, const Bytes& data) {
    if (!data.empty() &&
        PK11_DigestOp(digest, data.data(), static_cast<unsigned>(data.size())) != SECSuccess) {
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

unsigned signatureLength(SECKEYPrivateKey* key) {
    const int length = PK11_SignatureLen(key);
    if (length <= 0) {
        PORT_SetError(SEC_ERROR_INVALID_KEY);
        return 0;
    }
    return static_cast<unsigned>(length);
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
    if (SGN_Digest(key, hashTag(algorithm), &result, &digestItem) != SECSuccess)
        return false;
    const bool fits = result.len == signature.size();
    if (fits)
        std::memcpy(signature.data(), result.data, result.len);
    else
        PORT_SetError(SEC_ERROR_OUTPUT_LEN);
    SECITEM_FreeItem(&result, PR_FALSE);
    return fits;
}

SignedMessagePtr createSignedMessage(CERTCertificate* signer, HashAlgorithm algorithm) {
    SignedMessagePtr message(NSS_CMSMessage_Create(nullptr));
    if (!message)
        return nullptr;
    NSSCMSMessage* cms = message.get();
    NSSCMSSignedData* signedData = NSS_CMSSignedData_Create(cms);
    if (signedData == nullptr)
        return nullptr;
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
    if (signerInfo == nullptr)
        return nullptr;
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
    if (!arena)
        return std::nullopt;
    SECItem input{siBuffer, const_cast<unsigned char*>(content.data()),
                  static_cast<unsigned>(content.size())};
    SECItem encoded{siBuffer, nullptr, 0};
    if (NSS_CMSDEREncode(message, &input, &encoded, arena.get()) != SECSuccess)
        return std::nullopt;
    // NSS's encoder writes indefinite lengths (BER); the reply carries DER.
    OptionalBytes der = berToDer(encoded.data, encoded.len);
    if (!der)
        PORT_SetError(SEC_ERROR_BAD_DER);
    return der;
}

}  // namespace quillmark
