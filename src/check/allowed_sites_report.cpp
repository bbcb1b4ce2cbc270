#include "check/allowed_sites_report.h"

#include <unistd.h>

#include "consent/allowed_sites.h"
#include "dialogs/shown_text.h"

namespace quillmark {
namespace {

// One list, each origin shown as --history shows a site (a hand-edited file may hold
// anything).
void reportSitesFile(const char* whose, const std::string& path, uid_t owner,
                     AllowedSitesReport& report) {
    const SitesListing listing = readSitesFile(path, owner);
    report.lines.push_back(std::string(whose) + ", in " +
                           (path.empty() ? "no file" : shownText(path, false)) + ":");
    if (!listing.problem.empty()) {
        report.lines.push_back("  ignored: " + shownText(listing.problem, false));
        report.ignored = true;
    }
    if (listing.problem.empty() && listing.origins.empty()) report.lines.push_back("  none");
    for (const std::string& origin : listing.origins)
        report.lines.push_back("  " + shownText(origin, true));
}

}  // namespace

AllowedSitesReport reportAllowedSites() {
    AllowedSitesReport report;
    reportSitesFile("Allowed by you", userAllowedSitesPath(), geteuid(), report);
    reportSitesFile("Allowed by the administrator, read-only here", administratorAllowedSitesPath(),
                    0, report);
    return report;
}

}  // namespace quillmark
