#pragma once

#include <cert.h>
#include <pk11pub.h>

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "keystore/nss_pointers.h"
#include "keystore/token_pin_callback.h"

namespace quillmark {

struct CertificateStore;

// Whether each removable slot's module last reported a token in it, by the module's library
// and the slot ID, which outlive a reopening of the database.
struct ReportedSlots {
    std::map<std::pair<std::string, CK_SLOT_ID>, bool> tokenPresent;
};

// Whether a certificate found on a token is one of the user's, decided without logging in
// to the token (certificates are public objects; keys may not be):
//  - NSS's own judgement: the token shows a key object with the certificate's CKA_ID (a
//    public key, or a private key when the token lets it be seen). This is all that counts
//    on NSS's own database, so the soft token lists what it always has;
//  - on any other token that needs a login, whose keys hide until then, every certificate
//    that is not a CA's: it is listed, and signing will tell.
// So a trust module's roots and a token's issuers are never the user's.
bool isUsersCertificate(PK11SlotInfo* slot, CERTCertificate* certificate);

// Waits until NSS sees each removable slot's token as its module reports it now: a token
// plugged in or pulled out just before, or a reader plugged in (its module's new slots are
// added). What sign requests kept is forgotten when a token came or went.
void settleChangedSlots(CertificateStore& store);

// Every token present now, a token plugged in or pulled out just before included: new slots
// of a module (a reader plugged in) are added, and a removable slot whose token came or went
// is waited for until NSS sees it so. A token with a login on its reader's keypad under way is
// left out.
std::vector<SlotPtr> presentTokens(CertificateStore& store);

// The user's certificates on every present token, each once (a token reachable through two
// modules shows its certificates twice), in token order; null when memory runs out. Asks for
// no PIN or password.
CERTCertList* listTokenUserCertificates(CertificateStore& store);

// The private key of the certificate on the token it was found on, logging in to that token
// alone (a token reached through two modules is asked for its PIN once); from any token
// when the certificate has none. The PIN dialog, if one is needed, belongs to the request's
// `session`. Null on failure, with the cause in PORT_GetError().
SECKEYPrivateKey* findTokenPrivateKey(CERTCertificate* certificate, PinSession& session);

}  // namespace quillmark
