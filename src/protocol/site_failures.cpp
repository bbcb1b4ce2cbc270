#include "protocol/site_failures.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "consent/consent_gate.h"

namespace quillmark {
namespace {

// Oldest first: a site recorded again moves to the end, and the first goes when the list is full.
class FailureRecord {
  public:
    void record(std::string_view origin, SiteFailure failure) {
        const std::lock_guard<std::mutex> lock(mutex_);
        if (const auto found = find(origin); found != failures_.end()) failures_.erase(found);
        if (failures_.size() == kMaxSitesWithFailures) failures_.erase(failures_.begin());
        failures_.emplace_back(std::string(origin), failure);
    }
    SiteFailure last(std::string_view origin) {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto found = find(origin);
        return found != failures_.end() ? found->second : SiteFailure::None;
    }

  private:
    using Entry = std::pair<std::string, SiteFailure>;
    std::vector<Entry>::iterator find(std::string_view origin) {
        return std::find_if(failures_.begin(), failures_.end(),
                            [origin](const Entry& entry) { return entry.first == origin; });
    }
    std::mutex mutex_;
    std::vector<Entry> failures_;
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
