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

// The value of an attribute as stored (UTF-8 for the string types NSS decodes to it).
OptionalText attributeValue(const CERTAVA* ava) {
    const ItemPtr value(CERT_DecodeAVAValue(&ava->value));
    if (!value) return std::nullopt;
    return std::string(value->data, value->data + value->len);
}

// The value of the subject's first attribute with the tag in encoding order, or of its first
// attribute of all when the tag is SEC_OID_UNKNOWN. (NSS's own getters give the last one, and
// the e-mail getter lowercases it.)
OptionalText firstAttribute(const CERTName& subject, SECOidTag tag) {
    for (CERTRDN** rdn = subject.rdns; rdn != nullptr && *rdn != nullptr; ++rdn) {
        for (CERTAVA** ava = (*rdn)->avas; ava != nullptr && *ava != nullptr; ++ava) {
            if (tag != SEC_OID_UNKNOWN && CERT_GetAVATag(*ava) != tag) continue;
            if (OptionalText value = attributeValue(*ava)) return value;
        }
    }
    return std::nullopt;
}

// The first e-mail address (rfc822Name) of a decoded general name list (a circular one).
OptionalText firstEmailOf(CERTGeneralName* first) {
    for (CERTGeneralName* name = first; name != nullptr;) {
        if (name->type == certRFC822Name) {
            const SECItem& text = name->name.other;
            return std::string(text.data, text.data + text.len);
        }
        name = CERT_GetNextGeneralName(name);
        if (name == first) break;
    }
    return std::nullopt;
}

// The first e-mail address of the subject alternative name, as stored.
OptionalText firstAlternativeEmail(const CERTCertificate* certificate) {
    SECItem extension{siBuffer, nullptr, 0};
    if (CERT_FindCertExtension(certificate, SEC_OID_X509_SUBJECT_ALT_NAME, &extension) !=
        SECSuccess) {
        return std::nullopt;
    }
    const ArenaPtr arena(PORT_NewArena(DER_DEFAULT_CHUNKSIZE));
    OptionalText email =
        arena ? firstEmailOf(CERT_DecodeAltNameExtension(arena.get(), &extension)) : std::nullopt;
    SECITEM_FreeItem(&extension, PR_FALSE);
    return email;
}

}  // namespace

std::string displayName(const CERTCertificate* certificate) {
    const CERTName& subject = certificate->subject;
    for (SECOidTag tag : {SEC_OID_AVA_COMMON_NAME, SEC_OID_AVA_ORGANIZATIONAL_UNIT_NAME,
                          SEC_OID_AVA_ORGANIZATION_NAME, SEC_OID_PKCS9_EMAIL_ADDRESS}) {
        if (OptionalText name = firstAttribute(subject, tag)) return *name;
    }
    if (OptionalText email = firstAlternativeEmail(certificate)) return *email;
    return firstAttribute(subject, SEC_OID_UNKNOWN).value_or(std::string());
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
