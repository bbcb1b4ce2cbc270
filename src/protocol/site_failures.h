#pragma once

#include <cstddef>
#include <string_view>

namespace quillmark {

// Why a site's last getCerts or sign request in this run was not served, for the status
// action: the site itself may learn of its own, and of no other's.
enum class SiteFailure { None, RefusedByUser, PinCancelled, NoDialog, NotFound, WrongPin };

// Remembers the origin's failure in place of its earlier one. Each registrable domain keeps the
// failures of its kMaxFailuresPerDomain most recent origins, and at most kMaxDomainsWithFailures
// domains are kept, the first ones to fail: a domain's entries never move because of another
// domain's failures, so that a page cannot learn of other sites' failures by watching its own
// entries go. An origin no consent list could hold is not remembered. Any thread may call these.
constexpr std::size_t kMaxFailuresPerDomain = 16;
constexpr std::size_t kMaxDomainsWithFailures = 1024;
void recordSiteFailure(std::string_view origin, SiteFailure failure);
SiteFailure lastSiteFailure(std::string_view origin);

}  // namespace quillmark
