#pragma once

#include <cstdint>
#include <string>

namespace quillmark {

// An NSS (or NSPR) error code as the unsigned 32-bit number that replies carry: NSS codes
// are negative, so they read as large positive numbers.
using NssErrorCode = std::uint32_t;

// The code of the last failed NSS call on this thread.
NssErrorCode lastNssError();

// Forgets any earlier error code, so that a failing step reports its own cause rather than
// a code left behind by a call that succeeded.
void clearNssError();

// The user's certificates live in the NSS database $HOME/.pki/nssdb, with the CA
// certificates and trust anchors that chains are built from, and in the PKCS#11 modules
// registered there. It is reached in three steps, in this order, on a store worker; each
// returns false with the cause in lastNssError().

// $HOME/.pki/nssdb; only "/.pki/nssdb" when HOME is not set.
std::string userDatabaseDirectory();

// $HOME is set and $HOME/.pki is a directory, made with mode 0700 when missing.
bool preparePkiDirectory();

// $HOME/.pki/nssdb is a directory, made with mode 0700 when missing (NSS then creates an
// empty database without a password in it).
bool prepareDatabaseDirectory();

// NSS initialised on the database, with every module registered in it, and the PIN prompt
// set. Done once and kept while the database answers: shutting NSS down would drop the
// user's PIN logins. A database that no longer answers (its files overwritten), whose files
// were removed or replaced at their path, or whose key file another program wrote (a password
// set or changed), is closed and opened again from the files there, though not while a
// request waits at a PIN dialog (it holds NSS objects): until then it is used as it is.
// After a failure (a database that cannot be read or is corrupt) the next call tries again.
// Call it before taking anything from NSS.
bool openUserDatabase();

// All three steps: what signing needs before it can look for a certificate.
bool openPersonalStore();

}  // namespace quillmark
