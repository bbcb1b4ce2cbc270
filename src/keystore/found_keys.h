#pragma once

#include <cert.h>
#include <keyhi.h>

#include <deque>

#include "keystore/nss_pointers.h"
#include "support/bytes.h"

namespace quillmark {

// What sign requests found, kept for the next ones: the certificate for a serial and its
// private key. A search on a token and a key lookup cost more than the signature itself on a
// fast key, and most requests of a session name the same certificate.
//
// A kept certificate or key stands only while nothing could have changed it: the store's files
// are as they were, no token came, went or was replaced (its slot's series), no token module
// was loaded, and the database was not reopened. Whatever notices such a change forgets
// everything kept, so the next request searches afresh, exactly as if nothing had been kept.

// A token as it was when something was found on it: a token pulled out and put back, or
// another one in the slot, has a new series.
class TokenSeen {
  public:
    TokenSeen() = default;
    explicit TokenSeen(PK11SlotInfo* slot);

    bool unchanged() const;

  private:
    SlotPtr slot_;
    int series_ = 0;
};

struct FoundKey {
    Bytes serial;
    CertificatePtr certificate;
    TokenSeen certificateToken;
    PrivateKeyPtr key;  // null until a request found it
    TokenSeen keyToken;
};

// What requests found, the most recently found last.
struct FoundKeys {
    std::deque<FoundKey> entries;
};

// The certificate kept for the serial, while its token is still the one it was found on.
CertificatePtr keptCertificate(FoundKeys& found, const Bytes& serial);
void keepCertificate(FoundKeys& found, const Bytes& serial, CERTCertificate* certificate);

// The private key kept for the certificate, while its token is the same and, if it needs a
// login, logged in: a token logged out (another site's request, the token's own time-out)
// has the key looked up again, with its PIN dialog. `passwordArgument` is what NSS hands the
// PIN callback when the key asks for its PIN at a use: this request's, never the finder's.
PrivateKeyPtr keptKey(FoundKeys& found, CERTCertificate* certificate, void* passwordArgument);
void keepKey(FoundKeys& found, CERTCertificate* certificate, SECKEYPrivateKey* key);

// The store or a token changed: nothing kept is used again. Also before NSS is shut down,
// which fails while any of its objects is held.
void forgetFoundKeys(FoundKeys& found);

}  // namespace quillmark
