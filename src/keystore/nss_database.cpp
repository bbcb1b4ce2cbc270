#include "keystore/nss_database.h"

#include <nss.h>
#include <pk11pub.h>
#include <prerror.h>
#include <prio.h>
#include <secerr.h>
#include <secport.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <optional>
#include <string>

#include "keystore/cert_search.h"
#include "keystore/certificate_store.h"
#include "keystore/found_keys.h"
#include "keystore/token_modules.h"
#include "keystore/token_pin_callback.h"

namespace quillmark {
namespace {

constexpr char kPkiFolder[] = "/.pki";
constexpr char kDatabaseFolder[] = "/nssdb";
constexpr int kOwnerOnly = 0700;

// $HOME/.pki, or the empty text when HOME is not set.
std::string pkiDirectory() {
    const char* home = std::getenv("HOME");
    return home != nullptr && *home != '\0' ? std::string(home) + kPkiFolder : std::string();
}

// A directory at the path, made with mode 0700 when nothing is there.
bool ensureDirectory(const std::string& path) {
    PRFileInfo64 info;
    if (PR_GetFileInfo64(path.c_str(), &info) != PR_SUCCESS) {
        if (PR_GetError() != PR_FILE_NOT_FOUND_ERROR) return false;
        return PR_MkDir(path.c_str(), kOwnerOnly) == PR_SUCCESS;
    }
    if (info.type != PR_FILE_DIRECTORY) {
        PR_SetError(PR_NOT_DIRECTORY_ERROR, 0);
        return false;
    }
    return true;
}

constexpr std::size_t kKeyFile = 1;

// Whether the paths still name the same files (none at either time counts as the same).
bool sameFiles(const std::optional<DatabaseState>& now, const std::optional<DatabaseState>& then) {
    if (!now || !then) return !now && !then;
    return (*now)[0].sameFile((*then)[0]) && (*now)[1].sameFile((*then)[1]);
}

// The state of cert9.db and key4.db; none when either cannot be read.
std::optional<DatabaseState> databaseState() {
    DatabaseState state{};
    const char* names[] = {"/cert9.db", "/key4.db"};
    for (std::size_t i = 0; i < state.size(); ++i) {
        struct stat info {};
        if (stat((userDatabaseDirectory() + names[i]).c_str(), &info) != 0) return std::nullopt;
        state[i] = {info.st_dev, info.st_ino, info.st_size, info.st_mtim};
    }
    return state;
}

// The open database still answers queries: files overwritten under it fail every query,
// which NSS's listings read as an empty store. The token's state is read afresh too: a
// database created empty here and then given a key and its empty password by another
// program (pk12util) needs no login, while NSS would keep asking for one.
bool databaseAnswers() {
    const SlotPtr slot(PK11_GetInternalKeySlot());
    return slot && tokenAnswersSearches(slot.get()) && PK11_TokenRefresh(slot.get()) == SECSuccess;
}

// A password set or changed by another program (certutil -W) leaves the open database with
// the key NSS made from the old one (even an empty password's, which a logout does not
// drop), and every signature fails. Only opening the database again reads the new password
// check; it costs the logins of tokens too, so it is done only when key4.db was written.
bool keyFileChanged(const std::optional<DatabaseState>& state,
                    const std::optional<DatabaseState>& answered) {
    return state && answered && (*state)[kKeyFile] != (*answered)[kKeyFile];
}

// The search and refresh cost about a millisecond, so they run only when the files changed
// since the database last answered: a stat of each file tells that for a few microseconds.
// Files removed or replaced at the path do not count as answering: NSS would go on reading
// the ones it opened, which are no longer the user's store.
bool databaseStillAnswers(OpenedDatabase& database, const std::optional<DatabaseState>& state) {
    if (!sameFiles(state, database.opened)) return false;
    if (state && state == database.answered) return true;
    if (keyFileChanged(state, database.answered) || !databaseAnswers()) return false;
    database.answered = state;
    return true;
}

// Checked before a request takes anything from NSS, so nothing of it is held and NSS can be
// shut down and the database opened again, from the files that now stand at its path, once
// no other request waits at a PIN dialog. This drops the PIN logins of every token: it happens
// only once the database has failed.
void closeDatabase(CertificateStore& store) {
    forgetFoundKeys(store.found);
    NSS_Shutdown();
    store.database.open = false;
    store.database.answered.reset();
}

}  // namespace

std::string userDatabaseDirectory() {
    return pkiDirectory() + kDatabaseFolder;
}

NssErrorCode lastNssError() {
    return static_cast<NssErrorCode>(PORT_GetError());
}

void clearNssError() {
    PORT_SetError(0);
}

bool preparePkiDirectory() {
    clearNssError();
    if (pkiDirectory().empty()) {
        PR_SetError(PR_FILE_NOT_FOUND_ERROR, 0);
        return false;
    }
    return ensureDirectory(pkiDirectory());
}

bool prepareDatabaseDirectory() {
    clearNssError();
    return ensureDirectory(userDatabaseDirectory());
}

bool openUserDatabase(CertificateStore& store) {
    clearNssError();
    OpenedDatabase& database = store.database;
    if (database.open) {
        // What requests found is not used from files written since, even under a PIN dialog.
        const std::optional<DatabaseState> state = databaseState();
        if (state != database.answered) forgetFoundKeys(store.found);
        // While a request waits for its PIN, the database it uses is kept and not even probed
        // (a token refresh would change the slot it logs in to); the files are checked again
        // by the first request after the last such wait.
        if (pinDialogsWaiting(store) || databaseStillAnswers(database, state)) {
            loadNewTokenModules(store);
            return true;
        }
        closeDatabase(store);
    }
    PK11_SetPasswordFunc(askTokenPin);
    const std::string directory = userDatabaseDirectory();
    const std::string configuration = "sql:" + directory;
    // NSS opens a database it cannot write as if it were empty: one in a read-only HOME is
    // opened read-only instead, so that its certificates can still be listed and used.
    const PRUint32 flags = access(directory.c_str(), W_OK) == 0 ? 0 : NSS_INIT_READONLY;
    database.open = NSS_Initialize(configuration.c_str(), "", "", "", flags) == SECSuccess;
    if (!database.open && lastNssError() == 0) PORT_SetError(SEC_ERROR_BAD_DATABASE);
    if (!database.open) return false;
    database.opened = databaseState();
    database.answered = database.opened;
    loadRegisteredTokenModules(store);
    return true;
}

bool openPersonalStore(CertificateStore& store) {
    return preparePkiDirectory() && prepareDatabaseDirectory() && openUserDatabase(store);
}

// A database never given a password (NSS made it, or certutil -N --empty-password did) needs
// no login; one that was set up with a password does until the user logs in.
bool storeWithoutPassword(CertificateStore& store) {
    if (!openUserDatabase(store)) return false;
    const SlotPtr slot(PK11_GetInternalKeySlot());
    return slot && (PK11_NeedUserInit(slot.get()) || !PK11_NeedLogin(slot.get()));
}

}  // namespace quillmark
