#include "daemon/allowed_sites_report.h"

#include <unistd.h>

#include <cstdio>
#include <string>

#include "consent/allowed_sites.h"
#include "dialogs/shown_text.h"

namespace quillmark {
namespace {

// One list, each origin shown as --history shows a site (a hand-edited file may hold
// anything); false when the file is ignored.
bool printSitesFile(const char* whose, const std::string& path, uid_t owner) {
    const SitesListing listing = readSitesFile(path, owner);
    std::printf("%s, in %s:\n", whose, path.empty() ? "no file" : shownText(path, false).c_str());
    if (!listing.problem.empty())
        std::printf("  ignored: %s\n", shownText(listing.problem, false).c_str());
    if (listing.problem.empty() && listing.origins.empty()) std::printf("  none\n");
    for (const std::string& origin : listing.origins)
        std::printf("  %s\n", shownText(origin, true).c_str());
    return listing.problem.empty();
}

}  // namespace

bool printAllowedSites() {
    const bool user = printSitesFile("Allowed by you", userAllowedSitesPath(), geteuid());
    const bool administrator = printSitesFile("Allowed by the administrator, read-only here",
                                              administratorAllowedSitesPath(), 0);
    return user && administrator;
}

}  // namespace quillmark
