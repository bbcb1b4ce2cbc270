#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "keystore/token_modules.h"

namespace quillmark {

// A token present besides NSS's own, and the user certificates it shows without a login.
struct TokenSummary {
    std::string name;
    std::string module;
    std::size_t userCertificates = 0;
};

// What the user's store and tokens hold, as the agent would find them.
struct StoreSurvey {
    enum class State { Missing, Unreadable, Opened };
    State state = State::Missing;
    std::string path;
    std::size_t certificates = 0;     // every certificate in the database, CAs included
    std::optional<std::size_t> keys;  // the private keys; unknown behind a password
    bool hasPassword = false;
    std::size_t userCertificates = 0;  // with their keys, in the database and on tokens
    std::vector<TokenModuleLoad> modules;
    std::vector<TokenSummary> tokens;
};

// Opens the user's database read-only, with the registered token modules, and counts what it
// holds; asks for no PIN or password and writes nothing: a missing database is reported, not
// made. Shuts NSS down before returning, so the process must not be using NSS otherwise.
StoreSurvey surveyUserStore();

}  // namespace quillmark
