#pragma once

#include <sys/stat.h>

#include <array>
#include <cstdint>
#include <optional>
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

// What tells that a database file was written or replaced.
struct FileState {
    dev_t device;
    ino_t inode;
    off_t size;
    struct timespec modified;

    bool sameFile(const FileState& other) const {
        return device == other.device && inode == other.inode;
    }
    bool operator==(const FileState& other) const {
        return sameFile(other) && size == other.size && modified.tv_sec == other.modified.tv_sec &&
               modified.tv_nsec == other.modified.tv_nsec;
    }
    bool operator!=(const FileState& other) const { return !(*this == other); }
};

// cert9.db and key4.db.
using DatabaseState = std::array<FileState, 2>;

// Whether NSS is open on the user's database, and how its files stood when it was opened and
// when it last answered.
struct OpenedDatabase {
    bool open = false;
    std::optional<DatabaseState> opened;
    std::optional<DatabaseState> answered;
};

struct CertificateStore;

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
bool openUserDatabase(CertificateStore& store);

// All three steps: what signing needs before it can look for a certificate.
bool openPersonalStore(CertificateStore& store);

// True when the user's database, opened as openUserDatabase opens it, has no password: its
// keys serve without a login, so nothing asks before they sign. False when it has one or
// cannot be opened.
bool storeWithoutPassword(CertificateStore& store);

}  // namespace quillmark
