#pragma once

#include <cert.h>
#include <keyhi.h>

#include <string>

namespace quillmark {

// A PIN unlocks a token for the site that typed it. NSS keeps a token logged in for the whole
// process, so without this a PIN typed for one site would let every allowed site sign with no
// dialog. Each token's current login is remembered with the origin of the request whose key
// lookup opened it (empty: a local program); a token without a PIN or password (NSS's own
// database without one) has no login to guard, and the user's Allow stands for it.

// Before the certificate's key is looked up for `origin`: every token that may hold it and
// is logged in for another origin, or for one not known, is logged out, so that its PIN is
// asked again. Requests of the login's own origin keep it: a batch asks once.
void claimTokenLogins(CERTCertificate* certificate, const std::string& origin);

// After the key was found: its token's login, if it has one, now belongs to `origin`.
void recordTokenLogin(SECKEYPrivateKey* key, const std::string& origin);

}  // namespace quillmark
