#pragma once

#include <cert.h>
#include <cms.h>
#include <keyhi.h>
#include <pk11pub.h>

#include <memory>
#include <string>
#include <vector>

#include "keystore/nss_pointers.h"
#include "keystore/pin_entry.h"
#include "support/bytes.h"

namespace quillmark {

enum class HashAlgorithm { Sha1, Sha256, Sha384, Sha512 };

// True when the token answers a search of its certificates. NSS's own searches read a
// failed one as "nothing found".
bool tokenAnswersSearches(PK11SlotInfo* slot);

// The user certificates (those with a private key) on every token of the opened user
// database, in NSS's order; null on failure. Needs openPersonalStore().
CertificateListPtr listUserCertificates();

// The user certificate, on any token of the opened database, whose serial number bytes are
// exactly `serial`; when several have it, the first of them in listUserCertificates() order.
// A direct search by serial number: it costs the same whatever the size of the store, where
// listing the store and comparing would cost a lookup per certificate; only a shared serial
// costs a listing. Null when there is none.
CertificatePtr findUserCertificate(const Bytes& serial);

// The certificates of a list, borrowed from it.
std::vector<CERTCertificate*> certificatesOf(const CERTCertList* list);

// The subject's display name in UTF-8: the first common name in encoding order, else the
// e-mail address, else the organisational unit, else the organisation; empty when the
// subject has none of them.
std::string displayName(const CERTCertificate* certificate);

// The serial number bytes as encoded (most significant first, a leading zero kept).
Bytes serialNumberOf(const CERTCertificate* certificate);

// The hash named by the certificate's signature algorithm (RSA or ECDSA with SHA-1, SHA-256,
// SHA-384 or SHA-512); SHA-1 for any other algorithm.
HashAlgorithm certificateHash(const CERTCertificate* certificate);

// The dotted OID of the signature algorithm in the to-be-signed part, e.g. "1.2.840.113549.1.1.11".
std::string signatureAlgorithmOid(const CERTCertificate* certificate);

// The chain: the certificate first, then its issuers as far as they are found, the root
// included; trust and validity are not checked. Null when it cannot be built.
ChainPtr buildChain(CERTCertificate* certificate);

// The private key of the certificate, from whichever token holds it (asks for the PIN
// through the password callback if the token needs a login, telling the user what `prompt`
// says; null: a local program). The key keeps `prompt`: it must outlive the key. Null on
// failure.
PrivateKeyPtr findPrivateKey(CERTCertificate* certificate, const PinPromptContext* prompt);

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
// False on failure.
bool signDigest(SECKEYPrivateKey* key, HashAlgorithm algorithm, const Bytes& digest,
                Bytes& signature);

// An attached CMS SignedData message to be signed by the certificate with the given hash:
// the signer's certificate only, no CRLs, no signed attributes. Null on failure.
SignedMessagePtr createSignedMessage(CERTCertificate* signer, HashAlgorithm algorithm);

// Signs the content into the message and returns its DER encoding. No result on failure.
OptionalBytes encodeSignedMessage(NSSCMSMessage* message, const Bytes& content);

}  // namespace quillmark
