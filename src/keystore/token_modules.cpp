#include "keystore/token_modules.h"

#include <prerror.h>
#include <secmod.h>
// This NSS header has no C++ guard of its own.
extern "C" {
#include <utilpars.h>
}

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "keystore/certificate_store.h"
#include "keystore/nss_pointers.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// The library's path with links resolved, so that two names of one file compare equal.
std::string canonicalPath(const char* path) {
    char resolved[PATH_MAX];
    return realpath(path, resolved) != nullptr ? std::string(resolved) : std::string(path);
}

bool libraryLoaded(const std::string& library) {
    SECMODListLock* lock = SECMOD_GetDefaultModuleListLock();
    SECMOD_GetReadLock(lock);
    bool loaded = false;
    for (SECMODModuleList* entry = SECMOD_GetDefaultModuleList(); entry != nullptr && !loaded;
         entry = entry->next) {
        const char* path = entry->module->dllName;
        loaded = path != nullptr && canonicalPath(path) == library;
    }
    SECMOD_ReleaseReadLock(lock);
    return loaded;
}

std::string quoted(const std::string& text) {
    const PortTextPtr quoted(NSSUTIL_Quote(text.c_str(), '"'));
    return quoted ? quoted.get() : std::string();
}

// The failure NSS reports for the load just tried, read before anything else can change it.
// NSPR keeps the loader's own message as the error's text; NSS's errors have none, and are
// told by their table's text.
void noteFailure(TokenModuleLoad& load) {
    const PRErrorCode error = PR_GetError();
    load.failure = error == PR_LOAD_LIBRARY_ERROR  ? ModuleFailure::Library
                   : error == PR_FIND_SYMBOL_ERROR ? ModuleFailure::EntryPoint
                                                   : ModuleFailure::Start;
    // PR_GetErrorText copies the text with its terminating NUL.
    std::string text(static_cast<std::size_t>(std::max(PR_GetErrorTextLength(), 0)) + 1, '\0');
    text.resize(static_cast<std::size_t>(std::max(PR_GetErrorText(text.data()), 0)));
    const char* known = PR_ErrorToString(error, PR_LANGUAGE_I_DEFAULT);
    load.failureText = !text.empty() ? text : known != nullptr ? known : "";
}

// Loads the module for this process only: the user's database is not changed.
void loadModule(TokenModuleLoad& load) {
    const std::string parameters = "name=" + quoted("p11-kit: " + load.module.name) +
                                   " library=" + quoted(load.module.library);
    PR_SetError(0, 0);
    const ModulePtr loaded(
        SECMOD_LoadUserModule(const_cast<char*>(parameters.c_str()), nullptr, PR_FALSE));
    load.result = loaded && loaded->loaded ? ModuleLoad::Loaded : ModuleLoad::Failed;
    if (load.result == ModuleLoad::Failed) noteFailure(load);
}

}  // namespace

std::vector<TokenModuleLoad> loadTokenModules() {
    std::vector<TokenModuleLoad> loads;
    for (RegisteredModule& module : p11KitRegisteredModules()) {
        TokenModuleLoad& load = loads.emplace_back();
        load.module = std::move(module);
        load.result = ModuleLoad::AlreadyLoaded;
        if (!libraryLoaded(canonicalPath(load.module.library.c_str()))) loadModule(load);
    }
    return loads;
}

void loadRegisteredTokenModules(CertificateStore& store) {
    // A new module's tokens may hold a certificate that comes before a kept one.
    forgetFoundKeys(store.found);
    store.moduleFolders = ModuleFolders::now();
    for (const TokenModuleLoad& load : loadTokenModules()) {
        if (load.result == ModuleLoad::Failed)
            writeLog("Token module not loaded: " + load.module.library);
    }
}

void loadNewTokenModules(CertificateStore& store) {
    if (store.moduleFolders != ModuleFolders::now()) loadRegisteredTokenModules(store);
}

}  // namespace quillmark
