#include "consent/consent_gate.h"

#include <algorithm>
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

// The lists, and the sites denied since the agent started. A denied site found in a list is
// no longer denied: its refusal is dropped, so that removing it from the list asks again.
class ConsentState {
  public:
    AllowedSites sites{administratorAllowedSitesPath(), userAllowedSitesPath()};

    bool denied(std::string_view origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = denied_.find(origin);
        if (found == denied_.end()) return false;
        if (!sites.allows(origin)) return true;
        denied_.erase(found);
        return false;
    }
    void deny(std::string origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        denied_.insert(std::move(origin));
    }
    void forget(std::string_view origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const auto found = denied_.find(origin); found != denied_.end()) denied_.erase(found);
    }
    std::vector<std::string> refused() {
        std::vector<std::string> origins;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            origins.assign(denied_.begin(), denied_.end());
        }
        origins.erase(std::remove_if(origins.begin(), origins.end(),
                                     [this](const std::string& origin) { return !denied(origin); }),
                      origins.end());
        return origins;
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
ConsentAnswer askAndRemember(std::string_view origin, const ConsentQuestion& question) {
    const DialogTurn turn(question.request, cancelConsentDialog);
    if (!turn.granted()) return ConsentAnswer::NoAnswer;
    if (siteAllowed(origin)) return ConsentAnswer::Allow;
    if (state().denied(origin)) return ConsentAnswer::Deny;
    const ConsentAnswer answer = ask(question);
    const bool remembered = origin != kNullOrigin;
    if (answer == ConsentAnswer::Allow && remembered) state().sites.allow(std::string(origin));
    if (answer == ConsentAnswer::Deny && remembered) state().deny(std::string(origin));
    return answer;
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
    return consentAnswer(origin, question) == ConsentAnswer::Allow;
}

ConsentAnswer consentAnswer(std::string_view origin, const ConsentQuestion& question) {
    if (siteAllowed(origin)) return ConsentAnswer::Allow;
    if (!comparable(origin)) {
        writeLog(kUnnamedLog + std::string(origin.substr(0, origin.find('\0'))));
        return ConsentAnswer::Deny;
    }
    const ConsentAnswer answer =
        state().denied(origin) ? ConsentAnswer::Deny : askAndRemember(origin, question);
    if (answer != ConsentAnswer::Allow) writeLog(std::string(kRefusedLog) + std::string(origin));
    return answer;
}

SiteStanding siteStanding(std::string_view origin) {
    if (origin.empty()) return SiteStanding::AllowedByUser;
    if (!comparable(origin)) return SiteStanding::Refused;
    if (state().sites.administratorAllows(origin)) return SiteStanding::AllowedByAdministrator;
    if (state().sites.allows(origin)) return SiteStanding::AllowedByUser;
    return state().denied(origin) ? SiteStanding::Refused : SiteStanding::NotAsked;
}

std::vector<std::string> userAllowedSites() {
    return state().sites.userSites();
}

bool forgetAllowedSite(const std::string& origin) {
    return state().sites.forget(origin);
}

std::vector<std::string> administratorAllowedSites() {
    return state().sites.administratorSites();
}

std::vector<std::string> refusedSites() {
    return state().refused();
}

bool allowSite(const std::string& origin) {
    return comparable(origin) && origin != kNullOrigin && state().sites.allow(origin);
}

void forgetRefusal(const std::string& origin) {
    state().forget(origin);
}

void cancelConsentDialog() {
    if (installedPrompter) installedPrompter->cancel();
}

}  // namespace quillmark
