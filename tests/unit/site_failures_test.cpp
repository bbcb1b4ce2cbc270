#include "protocol/site_failures.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillmark;

namespace {

std::string originOf(const std::string& domain, std::size_t index) {
    return "https://s" + std::to_string(index) + "." + domain;
}

}  // namespace

// A page that fills its own domain's record with its origins, then watches them, must not see
// them move when other domains fail, however many; its own newest origins push out its oldest.
TEST(SiteFailures, ADomainsEntriesNeverMoveBecauseOfAnothers) {
    const std::string watcher = "watcher.example";
    for (std::size_t index = 0; index < kMaxFailuresPerDomain; ++index)
        recordSiteFailure(originOf(watcher, index), SiteFailure::RefusedByUser);
    for (std::size_t domain = 0; domain < 2 * kMaxDomainsWithFailures; ++domain)
        recordSiteFailure(originOf("other" + std::to_string(domain) + ".example", 0),
                          SiteFailure::PinCancelled);
    for (std::size_t index = 0; index < kMaxFailuresPerDomain; ++index)
        EXPECT_EQ(lastSiteFailure(originOf(watcher, index)), SiteFailure::RefusedByUser) << index;
    EXPECT_EQ(lastSiteFailure(originOf("other0.example", 0)), SiteFailure::PinCancelled);
    EXPECT_EQ(lastSiteFailure(originOf("other2047.example", 0)), SiteFailure::None);

    recordSiteFailure(originOf(watcher, 0), SiteFailure::WrongPin);
    recordSiteFailure(originOf(watcher, kMaxFailuresPerDomain), SiteFailure::NotFound);
    EXPECT_EQ(lastSiteFailure(originOf(watcher, 1)), SiteFailure::None);
    EXPECT_EQ(lastSiteFailure(originOf(watcher, 0)), SiteFailure::WrongPin);
    EXPECT_EQ(lastSiteFailure(originOf(watcher, kMaxFailuresPerDomain)), SiteFailure::NotFound);
}
