#pragma once

#include "signing/cert_listing.h"
#include "signing/signing_service.h"
#include "support/bytes.h"

namespace quillmark {

// The getCerts reply: `action`, `certs` (each entry's `name` when it has one, `serialNumber`,
// `certChains` as Base64 DER), then `error` and `errorCode` after a store failure, and `size`.
// No result only when the reply cannot be allocated.
OptionalText certificateListReply(const CertificateListing& listing);

// The sign reply (signXml for the XML output): `action`, then `signedData` (Base64), or
// `error` with `errorCode` for a failed step, or `error` alone for missing data or a refused
// XML document, or nothing more when no certificate has the serial. No result only when the reply
// cannot be allocated.
OptionalText signReply(SignOutput output, const SignResult& result);

}  // namespace quillmark
