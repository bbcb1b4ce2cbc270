#pragma once

#include <cstdint>

namespace quillmark {

// An NSS (or NSPR) error code as the unsigned 32-bit number that replies carry: NSS codes
// are negative, so they read as large positive numbers.
using NssErrorCode = std::uint32_t;

// The code of the last failed NSS call on this thread.
NssErrorCode lastNssError();

// Forgets any earlier error code, so that a failing step reports its own cause rather than
// a code left behind by a call that succeeded.
void clearNssError();

// The user's certificates become reachable in three stages, done in this order on the server
// thread. A stage that succeeded is kept for the life of the process (NSS is never shut down:
// that would drop the user's PIN logins); one that failed is tried again by the next request.
// Each returns false with the cause in lastNssError().

// NSS's crypto and its trust domain, in which chains are built, and the PIN prompt. What the
// root store stands for: without it no certificate, trusted or not, can be looked at.
bool startNss();

// $HOME/.pki/nssdb exists as a directory; a missing one is created empty, mode 0700. What the
// CA store stands for: the database that holds the user's CA certificates must have a place.
// Fails when HOME is not set or the directory cannot be made (a file in the way, no rights).
bool prepareUserDatabaseDirectory();

// The user's database opened in NSS, with every PKCS#11 module registered in it: the
// personal store. Fails when the database cannot be read or is corrupt.
bool openUserDatabase();

// All three stages: what signing needs before it can look for a certificate.
bool openPersonalStore();

}  // namespace quillmark
