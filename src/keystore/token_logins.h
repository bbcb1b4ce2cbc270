#pragma once

#include <cert.h>
#include <keyhi.h>
#include <secmodt.h>

#include <map>
#include <string>
#include <tuple>

namespace quillmark {

// A PIN unlocks a token for the site that typed it. NSS keeps a token logged in for the whole
// process, so without this a PIN typed for one site would let every allowed site sign with no
// dialog. Each token's current login is remembered with the origin of the request whose key
// lookup opened it (empty: a local program); a token without a PIN or password (NSS's own
// database without one) has no login to guard, and the user's Allow stands for it.

// Each token's current login and the origin it belongs to. A token is named by its slot as
// long as NSS stays open: a reopened database numbers its modules anew, and a token pulled out
// and put back gets a new series (its login is gone with it).
struct TokenLogins {
    using Token = std::tuple<SECMODModuleID, CK_SLOT_ID, int>;
    std::map<Token, std::string> origins;
};

// Before the certificate's key is looked up for `origin`: every token that may hold it and
// is logged in for another origin, or for one not known, is logged out, so that its PIN is
// asked again. Requests of the login's own origin keep it: a batch asks once.
void claimTokenLogins(TokenLogins& logins, CERTCertificate* certificate, const std::string& origin);

// After the key was found: its token's login, if it has one, now belongs to `origin`.
void recordTokenLogin(TokenLogins& logins, SECKEYPrivateKey* key, const std::string& origin);

}  // namespace quillmark
