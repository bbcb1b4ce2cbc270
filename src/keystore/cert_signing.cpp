#include "keystore/cert_signing.h"

#include <cryptohi.h>
#include <secerr.h>

#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "keystore/token_certificates.h"
#include "keystore/token_pin_callback.h"
#include "support/der_encoding.h"

namespace quillmark {
namespace {

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

}  // namespace

PrivateKeyPtr findPrivateKey(CERTCertificate* certificate, PinSession& session) {
    return PrivateKeyPtr(findTokenPrivateKey(certificate, session));
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
    const PublicKeyPtr key(CERT_ExtractPublicKey(certificate));
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
                Bytes& signature, PinSession& session) {
    SECItem digestItem{siBuffer, const_cast<unsigned char*>(digest.data()),
                       static_cast<unsigned>(digest.size())};
    SECItem result{siBuffer, nullptr, 0};
    const SECStatus status = SGN_Digest(key, hashTag(algorithm), &result, &digestItem);
    // A key that asked for its PIN on the reader for this signature: a Cancel refuses it.
    if (!session.endKeyUseLogin()) {
        SECITEM_FreeItem(&result, PR_FALSE);
        PORT_SetError(SEC_ERROR_BAD_PASSWORD);
        return false;
    }
    if (status != SECSuccess) return false;
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

// NSS_CMSDEREncode, with the password callback's argument given: NSS's own passes none.
bool encodeWithSession(NSSCMSMessage* message, const Bytes& content, SECItem& encoded,
                       PLArenaPool* arena, PinSession& session) {
    NSSCMSEncoderContext* encoder =
        NSS_CMSEncoder_Start(message, nullptr, nullptr, &encoded, arena, nullptr, &session, nullptr,
                             nullptr, nullptr, nullptr);
    if (encoder == nullptr) {
        PORT_SetError(SEC_ERROR_INVALID_ARGS);
        return false;
    }
    const char* data = reinterpret_cast<const char*>(content.data());
    bool ok = NSS_CMSEncoder_Update(encoder, data, content.size()) == SECSuccess;
    ok = NSS_CMSEncoder_Finish(encoder) == SECSuccess && ok;
    if (!ok) PORT_SetError(SEC_ERROR_BAD_DATA);
    // The signer's key may have asked for its PIN on the reader here: a Cancel refuses it.
    if (!session.endKeyUseLogin()) {
        PORT_SetError(SEC_ERROR_BAD_PASSWORD);
        return false;
    }
    return ok;
}

OptionalBytes encodeSignedMessage(NSSCMSMessage* message, const Bytes& content,
                                  PinSession& session) {
    ArenaPtr arena(PORT_NewArena(DER_DEFAULT_CHUNKSIZE));
    if (!arena) return std::nullopt;
    SECItem encoded{siBuffer, nullptr, 0};
    if (!encodeWithSession(message, content, encoded, arena.get(), session)) return std::nullopt;
    // NSS's encoder writes indefinite lengths (BER); the reply carries DER of the message
    // with the certificate's bytes as they stand.
    OptionalBytes der = berToDer(encoded.data, encoded.len, kCopiedFromCertificate);
    if (!der) PORT_SetError(SEC_ERROR_BAD_DER);
    return der;
}

}  // namespace quillmark
