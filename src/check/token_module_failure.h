#pragma once

#include <string>

#include "keystore/token_modules.h"

namespace quillmark {

// Why a token module could not be loaded, as far as the check can tell, and what to do.
struct ModuleFailureReport {
    // A few words after "could not be loaded: ", e.g. "its library is missing".
    std::string cause;
    // One sentence or two, each ending in a full stop.
    std::string advice;
};

// Explains a failed load from what NSS said: the loader's message when the library could not be
// loaded or has no PKCS#11 entry point (rare: p11-kit leaves out the modules it cannot load
// itself), else the error the module's start returned. SoftHSM's start fails with no more than
// CKR_GENERAL_ERROR, so for it the files it needs tell the cause: the configuration file it
// reads (SOFTHSM2_CONF, else ~/.config/softhsm2/softhsm2.conf when readable, else
// /etc/softhsm/softhsm2.conf) and the token folder that file names, missing or closed to the
// user, with who may open them.
ModuleFailureReport explainModuleFailure(const TokenModuleLoad& load);

}  // namespace quillmark
