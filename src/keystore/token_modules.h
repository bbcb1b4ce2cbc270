#pragma once

#include <vector>

#include "keystore/p11_kit_registry.h"

namespace quillmark {

struct CertificateStore;

// How loading one registered module into the opened NSS database went.
enum class ModuleLoad { Loaded, AlreadyLoaded, Failed };
struct TokenModuleLoad {
    RegisteredModule module;
    ModuleLoad result;
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
