#include "protocol/site_failures.h"

#include <algorithm>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "consent/consent_gate.h"
#include "consent/registrable_domain.h"

namespace quillmark {
namespace {

// One registrable domain's failures, oldest first: an origin recorded again moves to the end,
// and the first goes when the domain has its fill.
class DomainFailures {
  public:
    void record(std::string_view origin, SiteFailure failure) {
        if (const auto found = find(origin); found != failures_.end()) failures_.erase(found);
        if (failures_.size() == kMaxFailuresPerDomain) failures_.erase(failures_.begin());
        failures_.emplace_back(std::string(origin), failure);
    }
    SiteFailure last(std::string_view origin) {
        const auto found = find(origin);
        return found != failures_.end() ? found->second : SiteFailure::None;
    }

  private:
    using Entry = std::pair<std::string, SiteFailure>;
    std::vector<Entry>::iterator find(std::string_view origin) {
        return std::find_if(failures_.begin(), failures_.end(),
                            [origin](const Entry& entry) { return entry.first == origin; });
    }
    std::vector<Entry> failures_;
};

// Once full, a new domain's failures are not kept: dropping another domain's would tell.
class FailureRecord {
  public:
    void record(std::string_view origin, SiteFailure failure) {
        const std::string domain = registrableDomain(origin);
        const std::lock_guard<std::mutex> lock(mutex_);
        auto found = domains_.find(domain);
        if (found == domains_.end() && domains_.size() == kMaxDomainsWithFailures) return;
        if (found == domains_.end()) found = domains_.emplace(domain, DomainFailures()).first;
        found->second.record(origin, failure);
    }
    SiteFailure last(std::string_view origin) {
        const std::string domain = registrableDomain(origin);
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = domains_.find(domain);
        return found != domains_.end() ? found->second.last(origin) : SiteFailure::None;
    }

  private:
    std::mutex mutex_;
    std::map<std::string, DomainFailures> domains_;
};

FailureRecord& failureRecord() {
    static FailureRecord record;
    return record;
}

}  // namespace

void recordSiteFailure(std::string_view origin, SiteFailure failure) {
    if (origin.size() > kMaxOriginLength || origin.find('\0') != std::string_view::npos) return;
    failureRecord().record(origin, failure);
}

SiteFailure lastSiteFailure(std::string_view origin) {
    return failureRecord().last(origin);
}

}  // namespace quillmark
