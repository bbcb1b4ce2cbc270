#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "policies/installed_browsers.h"
#include "policies/policy_files.h"
#include "support/bytes.h"

namespace quillmark {

// One file the plan writes, or removes when it has no text.
struct PolicyFileChange {
    PolicyPath path;
    OptionalText text;
    mode_t mode = 0644;
};

// What the browsers' policy files need for the administrator's allowed sites.
struct PolicyPlan {
    // Why nothing can be written, as one line naming the file; the plan is empty then.
    std::string problem;
    // The files whose text changes, in the order they are written.
    std::vector<PolicyFileChange> changes;
    // The record of Firefox's entries that are the agent's: first with the entries both before
    // and after, so that an interruption leaves none of them unknown, and at the end as it stays.
    std::vector<PolicyFileChange> recordBefore;
    std::vector<PolicyFileChange> recordAfter;
    // The browsers left out as they are not installed: none of their files is read or changed.
    std::vector<Browser> skipped;
};

// Reads the administrator's list of allowed sites, the installed browsers' policy files and the
// record, and plans the change; it writes nothing.
PolicyPlan planBrowserPolicies(const InstalledBrowsers& installed);

// Writes the plan, creating missing folders readable by all (browsers run as the user); the
// first failure as one line naming the file, or nothing.
std::string applyPolicyPlan(const PolicyPlan& plan);

}  // namespace quillmark
