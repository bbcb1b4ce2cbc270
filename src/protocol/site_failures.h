#pragma once

#include <cstddef>
#include <string_view>

namespace quillmark {

// Why a site's last getCerts or sign request in this run was not served, for the status
// action: the site itself may learn of its own, and of no other's.
enum class SiteFailure { None, RefusedByUser, PinCancelled, NoDialog, NotFound, WrongPin };

// Remembers the site's failure in place of its earlier one. Only the most recent sites are
// kept (kMaxSitesWithFailures); an origin no consent list could hold is not remembered. Any
// thread may call these.
constexpr std::size_t kMaxSitesWithFailures = 64;
void recordSiteFailure(std::string_view origin, SiteFailure failure);
SiteFailure lastSiteFailure(std::string_view origin);

}  // namespace quillmark
