#pragma once

#include <cert.h>
#include <cms.h>
#include <keyhi.h>
#include <pk11pub.h>

#include <cstdint>

#include "keystore/cert_contents.h"
#include "keystore/nss_pointers.h"
#include "keystore/token_pin_callback.h"
#include "support/bytes.h"

namespace quillmark {

// The private key of the certificate, from whichever token holds it (asks for the PIN
// through the password callback if the token needs a login, telling the user what the
// request's `session` says). The key keeps `session`: it must outlive the key. Null on
// failure.
PrivateKeyPtr findPrivateKey(CERTCertificate* certificate, PinSession& session);

// Hashing in two steps, each of which can fail on its own.
DigestPtr createDigest(HashAlgorithm algorithm);
// Requests are far below 4 GiB, the most one NSS call takes.
OptionalBytes digestData(PK11Context* digest, const std::uint8_t* data, std::size_t count);

// The length in bytes of the signatures the certificate's key makes, read from its public
// key (asking the token would cost a round trip); 0 on failure.
unsigned signatureLength(CERTCertificate* certificate);

// A zeroed buffer for a signature of that length; no result when memory runs out.
OptionalBytes allocateSignature(unsigned length);

// PKCS #1 v1.5 signature of a digest (wrapped in its DigestInfo), most significant byte
// first, written into `signature` (sized by signatureLength, cut to the signature's length).
// False on failure. `session` is the one the key was found with.
bool signDigest(SECKEYPrivateKey* key, HashAlgorithm algorithm, const Bytes& digest,
                Bytes& signature, PinSession& session);

// An attached CMS SignedData message to be signed by the certificate with the given hash:
// the signer's certificate only, no CRLs, no signed attributes. Null on failure.
SignedMessagePtr createSignedMessage(CERTCertificate* signer, HashAlgorithm algorithm);

// Signs the content into the message and returns its DER encoding. No result on failure.
// A PIN dialog asked while the key signs belongs to `session`.
OptionalBytes encodeSignedMessage(NSSCMSMessage* message, const Bytes& content,
                                  PinSession& session);

}  // namespace quillmark
