#pragma once

#include <string>
#include <vector>

#include "keystore/p11_kit_registry.h"

namespace quillmark {

struct CertificateStore;

// How loading one registered module into the opened NSS database went.
enum class ModuleLoad { Loaded, AlreadyLoaded, Failed };
// Which step of a failed load failed: the library's loading, the search for its PKCS#11 entry
// point, or the module's own start (C_Initialize) or another step NSS reports.
enum class ModuleFailure { None, Library, EntryPoint, Start };
struct TokenModuleLoad {
    RegisteredModule module;
    ModuleLoad result;
    ModuleFailure failure = ModuleFailure::None;
    // What NSS said of the failure: the loader's message for the library and its entry point
    // ("...: cannot open shared object file: No such file or directory"), else the text of
    // NSS's error ("A PKCS #11 module returned CKR_GENERAL_ERROR, ...").
    std::string failureText;
};

// Loads every module p11-kit has registered that is not loaded already, and tells how each
// went; writes no log.
std::vector<TokenModuleLoad> loadTokenModules();

// Loads into the opened NSS database every PKCS#11 module p11-kit has registered (the way
// Debian and its derivatives register token drivers, OpenSC and SoftHSM among them) that is
// not loaded already, so that its tokens are listed and sign like those added with modutil.
// A module whose library is already loaded (registered in both places) is skipped, so each
// token is reached through one route. A module that fails to load costs one log line.
void loadRegisteredTokenModules(CertificateStore& store);

// Loads the modules registered since the last loading (a token driver installed, a
// `.module` file added while the agent runs): p11-kit's configuration is read again only when
// a file was added, removed or renamed in one of its module folders.
void loadNewTokenModules(CertificateStore& store);

}  // namespace quillmark
