#pragma once

#include <cert.h>
#include <pk11pub.h>

#include <vector>

#include "keystore/nss_pointers.h"
#include "support/bytes.h"

namespace quillmark {

struct CertificateStore;

// True when the token answers a search of its certificates. NSS's own searches read a
// failed one as "nothing found".
bool tokenAnswersSearches(PK11SlotInfo* slot);

// The user certificates (those with a private key) on every token of the opened user
// database, in NSS's order; null on failure. Needs openPersonalStore().
CertificateListPtr listUserCertificates(CertificateStore& store);

// The user certificate, on any token of the opened database, whose serial number bytes are
// exactly `serial`; when several have it, the first of them in listUserCertificates() order.
// A direct search by serial number: it costs the same whatever the size of the store, where
// listing the store and comparing would cost a lookup per certificate; only a shared serial
// costs a listing. Null when there is none.
CertificatePtr findUserCertificate(CertificateStore& store, const Bytes& serial);

// The certificates of a list, borrowed from it.
std::vector<CERTCertificate*> certificatesOf(const CERTCertList* list);

// The chain: the certificate first, then its issuers as far as they are found, the root
// included; trust and validity are not checked. Null when it cannot be built.
ChainPtr buildChain(CERTCertificate* certificate);

}  // namespace quillmark
