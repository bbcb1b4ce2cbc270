#include "consent/consent_gate.h"

#include <mutex>
#include <set>

#include "consent/allowed_sites.h"
#include "support/dialog_turns.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr char kNullOrigin[] = "null";
constexpr char kRefusedLog[] = "Site not allowed: ";
constexpr char kUnnamedLog[] = "Site not allowed, its origin too long or holding a NUL: ";

std::unique_ptr<ConsentPrompter> installedPrompter;

// The lists, and the sites denied since the agent started.
class ConsentState {
  public:
    AllowedSites sites{administratorAllowedSitesPath(), userAllowedSitesPath()};

    bool denied(std::string_view origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        return denied_.find(origin) != denied_.end();
    }
    void deny(std::string origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        denied_.insert(std::move(origin));
    }

  private:
    std::mutex mutex_;
    std::set<std::string, std::less<>> denied_;
};

ConsentState& state() {
    static ConsentState consent;
    return consent;
}

bool comparable(std::string_view origin) {
    return origin.size() <= kMaxOriginLength && origin.find('\0') == std::string_view::npos;
}

ConsentAnswer ask(const ConsentQuestion& question) {
    return installedPrompter ? installedPrompter->ask(question) : ConsentAnswer::NoAnswer;
}

// Asks in the request's dialog turn, and remembers an explicit answer, except for "null".
// While the request waited for its turn, another request of the site may have been answered.
bool askAndRemember(std::string_view origin, const ConsentQuestion& question) {
    const DialogTurn turn(cancelConsentDialog);
    if (!turn.granted() || state().denied(origin)) return false;
    if (siteAllowed(origin)) return true;
    const ConsentAnswer answer = ask(question);
    const bool remembered = origin != kNullOrigin;
    if (answer == ConsentAnswer::Allow && remembered) state().sites.allow(std::string(origin));
    if (answer == ConsentAnswer::Deny && remembered) state().deny(std::string(origin));
    return answer == ConsentAnswer::Allow;
}

}  // namespace

void setConsentPrompter(std::unique_ptr<ConsentPrompter> prompter) {
    installedPrompter = std::move(prompter);
}

bool needsConsent(std::string_view origin) {
    return comparable(origin) && !siteAllowed(origin) && !state().denied(origin);
}

bool siteAllowed(std::string_view origin) {
    return origin.empty() || (comparable(origin) && state().sites.allows(origin));
}

bool consentGiven(std::string_view origin, const ConsentQuestion& question) {
    if (siteAllowed(origin)) return true;
    if (!comparable(origin)) {
        writeLog(kUnnamedLog + std::string(origin.substr(0, origin.find('\0'))));
        return false;
    }
    if (!state().denied(origin) && askAndRemember(origin, question)) return true;
    writeLog(std::string(kRefusedLog) + std::string(origin));
    return false;
}

std::vector<std::string> userAllowedSites() {
    return state().sites.userSites();
}

bool forgetAllowedSite(const std::string& origin) {
    return state().sites.forget(origin);
}

void cancelConsentDialog() {
    if (installedPrompter) installedPrompter->cancel();
}

}  // namespace quillmark
