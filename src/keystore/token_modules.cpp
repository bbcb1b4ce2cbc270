#include "keystore/token_modules.h"

#include <secmod.h>
// This NSS header has no C++ guard of its own.
extern "C" {
#include <utilpars.h>
}

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

// Loads the module for this process only: the user's database is not changed.
bool loadModule(const RegisteredModule& module) {
    const std::string parameters =
        "name=" + quoted("p11-kit: " + module.name) + " library=" + quoted(module.library);
    const ModulePtr loaded(
        SECMOD_LoadUserModule(const_cast<char*>(parameters.c_str()), nullptr, PR_FALSE));
    return loaded && loaded->loaded;
}

}  // namespace

std::vector<TokenModuleLoad> loadTokenModules() {
    std::vector<TokenModuleLoad> loads;
    for (RegisteredModule& module : p11KitRegisteredModules()) {
        ModuleLoad result = ModuleLoad::AlreadyLoaded;
        if (!libraryLoaded(canonicalPath(module.library.c_str())))
            result = loadModule(module) ? ModuleLoad::Loaded : ModuleLoad::Failed;
        loads.push_back({std::move(module), result});
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
