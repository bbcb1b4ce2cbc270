#include "consent/consent_gate.h"

#include <map>
#include <mutex>
#include <set>

#include "consent/allowed_sites.h"
#include "consent/lookalike_site.h"
#include "consent/registrable_domain.h"
#include "support/dialog_turns.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr char kNullOrigin[] = "null";
constexpr char kRefusedLog[] = "Site not allowed: ";
constexpr char kUnnamedLog[] = "Site not allowed, its origin too long or holding a NUL: ";

// The lists, and the sites denied since the agent started, one by one or with their whole
// registrable domain. A denied site found in a list is no longer denied: its refusal is
// dropped, so that removing it from the list asks again.
class ConsentState {
  public:
    AllowedSites sites{administratorAllowedSitesPath(), userAllowedSitesPath()};

    bool denied(std::string_view origin) { return refusal(origin) != Refusal::None; }

    // Whether the origin is refused, and how: by itself, or only with its domain.
    enum class Refusal { None, Site, Domain };
    Refusal refusal(std::string_view origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = denied_.find(origin);
        const bool domainRefused =
            !refusalsIn_.empty() && domainRefusedLocked(registrableDomain(origin));
        if (found == denied_.end() && !domainRefused) return Refusal::None;
        if (sites.allows(origin)) {
            if (found != denied_.end()) denied_.erase(found);
            return Refusal::None;
        }
        return found != denied_.end() ? Refusal::Site : Refusal::Domain;
    }
    void deny(std::string origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        ++refusalsIn_[registrableDomain(origin)];
        denied_.insert(std::move(origin));
    }
    // Forgets the refusal of the site, or of the domain, of this name.
    void forget(std::string_view name) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const auto found = denied_.find(name); found != denied_.end()) denied_.erase(found);
        if (const auto found = refusalsIn_.find(name); found != refusalsIn_.end())
            refusalsIn_.erase(found);
    }
    std::vector<RefusedSite> refused() {
        std::vector<RefusedSite> found;
        std::vector<std::string> origins;
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            for (const std::string& domain : refusedDomains())
                found.push_back({domain, true});
            origins.assign(denied_.begin(), denied_.end());
        }
        for (std::string& origin : origins) {
            if (refusal(origin) == Refusal::Site) found.push_back({std::move(origin), false});
        }
        return found;
    }

  private:
    bool domainRefusedLocked(const std::string& domain) const {
        const auto found = refusalsIn_.find(domain);
        return found != refusalsIn_.end() && found->second >= kRefusalsBeforeDomainRefused;
    }
    std::vector<std::string> refusedDomains() const {
        std::vector<std::string> domains;
        for (const auto& [domain, refusals] : refusalsIn_) {
            if (refusals >= kRefusalsBeforeDomainRefused) domains.push_back(domain);
        }
        return domains;
    }

    std::mutex mutex_;
    std::set<std::string, std::less<>> denied_;
    std::map<std::string, int, std::less<>> refusalsIn_;  // Deny answers per registrable domain
};

ConsentState& state() {
    static ConsentState consent;
    return consent;
}

// A page may retry a refused request thousands of times a second: the log counts the repeats.
// The sites of a refused domain are counted together, as the page may vary its subdomain.
void logRefusal(std::string_view origin) {
    const std::string line = kRefusedLog + std::string(origin);
    if (state().refusal(origin) != ConsentState::Refusal::Domain) return writeLogCounted(line);
    const std::string domain = registrableDomain(origin);
    writeLogCounted(kRefusedLog + std::string("any site of ") + domain,
                    line + " (the domain " + domain + " is refused)");
}

bool comparable(std::string_view origin) {
    return origin.size() <= kMaxOriginLength && origin.find('\0') == std::string_view::npos;
}

// The question as the dialog asks it: with the allowed site the origin's host imitates, if
// any, on either list as they stand now.
ConsentQuestion withLookalike(std::string_view origin, const ConsentQuestion& question) {
    std::vector<std::string> allowed = state().sites.userSites();
    for (std::string& site : state().sites.administratorSites())
        allowed.push_back(std::move(site));
    ConsentQuestion asked = question;
    asked.lookalike = imitatedSite(std::string(origin), allowed);
    return asked;
}

// Asks in the request's dialog turn, and remembers an explicit answer, except for "null".
// While the request waited for its turn, another request of the site may have been answered.
ConsentAnswer askAndRemember(std::string_view origin, const ConsentQuestion& question,
                             ConsentPrompter& prompter) {
    const DialogTurn turn(question.request, [&prompter] { prompter.cancel(); });
    if (!turn.granted()) return ConsentAnswer::NoAnswer;
    if (siteAllowed(origin)) return ConsentAnswer::Allow;
    if (state().denied(origin)) return ConsentAnswer::Deny;
    const ConsentAnswer answer = prompter.ask(withLookalike(origin, question));
    const bool remembered = origin != kNullOrigin;
    if (answer == ConsentAnswer::Allow && remembered) state().sites.allow(std::string(origin));
    if (answer == ConsentAnswer::Deny && remembered) state().deny(std::string(origin));
    return answer;
}

}  // namespace

bool needsConsent(std::string_view origin) {
    return comparable(origin) && !siteAllowed(origin) && !state().denied(origin);
}

bool siteAllowed(std::string_view origin) {
    return origin.empty() || (comparable(origin) && state().sites.allows(origin));
}

bool consentGiven(std::string_view origin, const ConsentQuestion& question,
                  ConsentPrompter* prompter) {
    return consentAnswer(origin, question, prompter) == ConsentAnswer::Allow;
}

ConsentAnswer consentAnswer(std::string_view origin, const ConsentQuestion& question,
                            ConsentPrompter* prompter) {
    if (siteAllowed(origin)) return ConsentAnswer::Allow;
    if (!comparable(origin)) {
        writeLogCounted(kUnnamedLog,
                        kUnnamedLog + std::string(origin.substr(0, origin.find('\0'))));
        return ConsentAnswer::Deny;
    }
    ConsentAnswer answer = ConsentAnswer::Deny;
    if (!state().denied(origin))
        answer = prompter != nullptr ? askAndRemember(origin, question, *prompter)
                                     : ConsentAnswer::NoAnswer;
    if (answer != ConsentAnswer::Allow) logRefusal(origin);
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

std::vector<RefusedSite> refusedSites() {
    return state().refused();
}

// A registrable domain alone is no origin: no page would ever send it.
bool allowSite(const std::string& origin) {
    return comparable(origin) && origin.find("://") != std::string::npos &&
           state().sites.allow(origin);
}

void forgetRefusal(const std::string& name) {
    state().forget(name);
}

}  // namespace quillmark
