#pragma once

#include "support/bytes.h"

namespace quillmark {

// The sign operations. Each signs the data (Base64 text, else hex text; either may be null)
// with the private key of the user certificate whose serial text equals `serialNumber`,
// hashing with SHA-256 when the certificate is signed with sha256WithRSAEncryption and with
// SHA-1 otherwise. In secure mode the decoded data is deciphered before hashing and the
// result enciphered before Base64. The reply holds `signedData`, or `error` (with
// `errorCode` for a failed step), or only `action` when no certificate has that serial.
// No result only when the reply cannot be allocated.

// `signedData` is the PKCS #1 v1.5 signature, most significant byte first.
OptionalText handleSignRaw(const char* dataHex, const char* dataBase64, const char* serialNumber,
                           bool secure);

// `signedData` is a DER CMS SignedData message whose content is that same signature, signed
// again with the same key and carrying the signer's certificate.
OptionalText handleSignCms(const char* dataHex, const char* dataBase64, const char* serialNumber,
                           bool secure);

}  // namespace quillmark
