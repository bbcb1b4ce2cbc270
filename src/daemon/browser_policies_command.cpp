#include "daemon/browser_policies_command.h"

#include <sysexits.h>

#include <cstdio>
#include <optional>
#include <string>

#include "consent/allowed_sites.h"
#include "policies/policy_plan.h"

namespace quillmark {
namespace {

int flushed(int status) {
    return std::fflush(stdout) == 0 ? status : EX_IOERR;
}

// When the plan cannot be carried out, or changes nothing, says so and gives the exit status.
std::optional<int> endsHere(const PolicyPlan& plan) {
    if (!plan.problem.empty()) {
        std::fprintf(stderr, "quillmarkd: %s; nothing was changed\n", plan.problem.c_str());
        return EX_DATAERR;
    }
    if (!plan.changes.empty() || !plan.recordAfter.empty()) return std::nullopt;
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
    const PolicyPlan plan = planBrowserPolicies();
    if (const auto status = endsHere(plan)) return *status;
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
    const PolicyPlan plan = planBrowserPolicies();
    if (const auto status = endsHere(plan)) return *status;
    forEachChange(plan, [](const std::string& path, const PolicyFileChange& change) {
        if (change.text)
            std::printf("Would write %s:\n%s", path.c_str(), change.text->c_str());
        else
            std::printf("Would remove %s\n", path.c_str());
    });
    return flushed(EX_OK);
}

}  // namespace quillmark
