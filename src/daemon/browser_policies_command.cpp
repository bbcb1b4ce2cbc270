#include "daemon/browser_policies_command.h"

#include <sysexits.h>

#include <cstdio>
#include <iterator>
#include <optional>
#include <string>

#include "consent/allowed_sites.h"
#include "policies/policy_plan.h"

namespace quillmark {
namespace {

// The lines for the browsers that are not installed ("%s" is the browser), and the end of a
// command for which no browser is.
constexpr char kSkipped[] = "Skipped %s, which is not installed.\n";
constexpr char kWouldSkip[] = "Would skip %s, which is not installed.\n";
constexpr char kNoBrowser[] = "Chromium, Chrome and Firefox are not installed: nothing to write.\n";

int flushed(int status) {
    return std::fflush(stdout) == 0 ? status : EX_IOERR;
}

// When the plan cannot be carried out, says so and gives the exit status; else names the
// browsers skipped with `skipText`, and when the plan changes nothing, says so too.
std::optional<int> endsHere(const PolicyPlan& plan, const char* skipText) {
    if (!plan.problem.empty()) {
        std::fprintf(stderr, "quillmarkd: %s; nothing was changed\n", plan.problem.c_str());
        return EX_DATAERR;
    }
    for (const Browser browser : plan.skipped)
        std::printf(skipText, browserName(browser));
    if (!plan.changes.empty() || !plan.recordAfter.empty()) return std::nullopt;
    if (plan.skipped.size() == std::size(kBrowsers)) {
        std::fputs(kNoBrowser, stdout);
        return flushed(EX_OK);
    }
    std::printf("The browser policies already name the sites of %s: nothing to change.\n",
                administratorAllowedSitesPath().c_str());
    return flushed(EX_OK);
}

// The changes as they stay: the record's interim state is no part of them.
template <typename Print>
void forEachChange(const PolicyPlan& plan, Print print) {
    for (const auto* changes : {&plan.changes, &plan.recordAfter})
        for (const PolicyFileChange& change : *changes)
            print(change.path.full(), change);
}

}  // namespace

int writeBrowserPolicies() {
    const PolicyPlan plan = planBrowserPolicies(InstalledBrowsers());
    if (const auto status = endsHere(plan, kSkipped)) return *status;
    if (const std::string problem = applyPolicyPlan(plan); !problem.empty()) {
        std::fprintf(stderr, "quillmarkd: %s\n", problem.c_str());
        return EX_CANTCREAT;
    }
    forEachChange(plan, [](const std::string& path, const PolicyFileChange& change) {
        std::printf("%s %s\n", change.text ? "Wrote" : "Removed", path.c_str());
    });
    return flushed(EX_OK);
}

int printBrowserPoliciesChange() {
    const PolicyPlan plan = planBrowserPolicies(InstalledBrowsers());
    if (const auto status = endsHere(plan, kWouldSkip)) return *status;
    forEachChange(plan, [](const std::string& path, const PolicyFileChange& change) {
        if (change.text)
            std::printf("Would write %s:\n%s", path.c_str(), change.text->c_str());
        else
            std::printf("Would remove %s\n", path.c_str());
    });
    return flushed(EX_OK);
}

}  // namespace quillmark
