#pragma once

#include <cert.h>

#include <string>

#include "support/bytes.h"

namespace quillmark {

enum class HashAlgorithm { Sha1, Sha256, Sha384, Sha512 };

// The subject's display name in UTF-8, as stored: the first common name in encoding order;
// without one, the first organisational unit, organisation or e-mail attribute of the
// subject, in that order of preference, else the subject alternative name's first e-mail
// address, else the subject's first attribute; empty when there is none.
std::string displayName(const CERTCertificate* certificate);

// The serial number bytes as encoded (most significant first, a leading zero kept).
Bytes serialNumberOf(const CERTCertificate* certificate);

// The hash named by the certificate's signature algorithm (RSA or ECDSA with SHA-1, SHA-256,
// SHA-384 or SHA-512); SHA-1 for any other algorithm.
HashAlgorithm certificateHash(const CERTCertificate* certificate);

// The dotted OID of the signature algorithm in the to-be-signed part, e.g. "1.2.840.113549.1.1.11".
std::string signatureAlgorithmOid(const CERTCertificate* certificate);

}  // namespace quillmark
