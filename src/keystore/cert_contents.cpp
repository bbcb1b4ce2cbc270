#include "keystore/cert_contents.h"

#include <secoid.h>

#include <cstring>

#include "keystore/nss_pointers.h"

namespace quillmark {
namespace {

constexpr char kOidPrefix[] = "OID.";

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

}  // namespace

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

}  // namespace quillmark
