#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "consent/consent_prompter.h"

namespace quillmark {

// Whether a page's site may use the user's certificates. A request without an Origin (a
// program of the user's own) is always served. A site is allowed by the administrator's list
// or the user's (see AllowedSites); a site the user denied stays denied until the agent stops,
// unless the user forgets the refusal or the site joins the user's list (from the window, or
// written into the file by hand): the refusal then ends, and a later removal asks again. After
// a few refusals within one registrable domain, its other sites are refused too, unasked.
// Any other site is asked, through the prompter the caller gives; "null" (a sandboxed frame
// or a local file) is asked each time, never remembered. An origin longer than
// kMaxOriginLength, or holding a NUL, names no site the lists could hold: it is refused, never
// asked nor compared by a part of it. Any thread may call these.

// The longest origin compared: any origin of a DNS name (at most 253 bytes), with its scheme
// and a port, fits.
constexpr std::size_t kMaxOriginLength = 300;

// After this many Deny answers within one registrable domain in a run, its other sites are
// refused without a dialog: one page could otherwise bring a dialog for each of its subdomains.
constexpr int kRefusalsBeforeDomainRefused = 3;

// True when the origin's request would show a dialog now: it has an origin that is neither
// allowed nor denied. Never asks or blocks: it only checks the lists' files' status.
bool needsConsent(std::string_view origin);

// True when the origin's request is served without a question: no origin, or an allowed site.
bool siteAllowed(std::string_view origin);

// True when the request may go on: served without a question, or the user allows it now
// through `prompter` (the site then joins the user's list). False, with a log line naming the
// site, for a site denied before, or denied or left unanswered now; a null prompter leaves
// every question unanswered.
bool consentGiven(std::string_view origin, const ConsentQuestion& question,
                  ConsentPrompter* prompter);

// consentGiven, telling a refusal (Deny: denied now or before, or an origin no list could
// hold) from a question left unanswered or never shown (NoAnswer).
ConsentAnswer consentAnswer(std::string_view origin, const ConsentQuestion& question,
                            ConsentPrompter* prompter);

// Where a site stands now, as a page may learn of its own: allowed by the user's list (or a
// request without an origin), by the administrator's, refused in this run, or none of these.
// Never asks or blocks.
enum class SiteStanding { AllowedByUser, AllowedByAdministrator, Refused, NotAsked };
SiteStanding siteStanding(std::string_view origin);

// The sites the user allowed (the user's list, not the administrator's), for the user to
// review; and the removal of one of them: its next request asks again. False when the list
// could not be saved.
std::vector<std::string> userAllowedSites();
bool forgetAllowedSite(const std::string& origin);

// The administrator's list, for the user to see; the agent never changes it.
std::vector<std::string> administratorAllowedSites();

// What the user denied since the agent started, without the sites allowed since: registrable
// domains refused whole (kRefusalsBeforeDomainRefused Deny answers within one), then single
// sites, each sorted. A refused site is allowed by writing it into the user's list (allowSite,
// false when the list could not be saved, or for a domain); a forgotten refusal, of a site or
// a domain, makes the next request ask again.
struct RefusedSite {
    std::string name;  // an origin, or a registrable domain
    bool wholeDomain = false;

    bool operator==(const RefusedSite& other) const {
        return name == other.name && wholeDomain == other.wholeDomain;
    }
};
std::vector<RefusedSite> refusedSites();
bool allowSite(const std::string& origin);
void forgetRefusal(const std::string& name);

}  // namespace quillmark
