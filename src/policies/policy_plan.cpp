#include "policies/policy_plan.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sstream>
#include <utility>

#include "consent/allowed_sites.h"
#include "policies/chromium_policy.h"
#include "policies/firefox_policies.h"
#include "policies/policy_files.h"
#include "support/replace_file.h"
#include "support/user_directories.h"

namespace quillmark {
namespace {

constexpr char kRecordHeading[] =
    "# The entries of SkipDomains in /etc/firefox/policies/policies.json that\n"
    "# quillmarkd --browser-policies wrote; it removes only these. Not to be edited.\n";

std::vector<std::string> recordedDomains(const std::string& text) {
    std::vector<std::string> domains;
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line[0] != '#') domains.push_back(line);
    return domains;
}

OptionalText recordText(const std::vector<std::string>& domains) {
    if (domains.empty()) return std::nullopt;
    std::string text = kRecordHeading;
    for (const std::string& domain : domains)
        text += domain + "\n";
    return text;
}

// Adds the change when the file's text is not already the one wanted.
void planFile(std::vector<PolicyFileChange>& changes, const PolicyPath& path, const FileText& now,
              const OptionalText& wanted) {
    if (now.text != wanted) changes.push_back({path, wanted, now.mode});
}

// The Firefox file and the record; false with the problem set when either cannot be planned.
bool planFirefox(PolicyPlan& plan, const std::vector<std::string>& origins) {
    const FileText policies = readPolicyFile(kFirefoxPolicyFile.full());
    const FileText record = readPolicyFile(kFirefoxRecordFile.full());
    plan.problem = !policies.problem.empty() ? policies.problem : record.problem;
    if (!plan.problem.empty()) return false;
    std::vector<std::string> wanted;
    for (const std::string& origin : origins) {
        const std::string domain = firefoxDomainOf(origin);
        if (!domain.empty() && std::find(wanted.begin(), wanted.end(), domain) == wanted.end())
            wanted.push_back(domain);
    }
    const std::vector<std::string> written = recordedDomains(record.text.value_or(""));
    const FirefoxMerge merge = mergeFirefoxPolicies(policies.text, wanted, written);
    if (!merge.problem.empty()) {
        plan.problem = kFirefoxPolicyFile.full() + ": " + merge.problem;
        return false;
    }
    if (merge.changed) plan.changes.push_back({kFirefoxPolicyFile, merge.text, policies.mode});
    std::vector<std::string> both = written;
    for (const std::string& domain : merge.written)
        if (std::find(both.begin(), both.end(), domain) == both.end()) both.push_back(domain);
    if (both != written && both != merge.written)
        planFile(plan.recordBefore, kFirefoxRecordFile, record, recordText(both));
    planFile(plan.recordAfter, kFirefoxRecordFile, record, recordText(merge.written));
    return true;
}

std::string applyChange(const PolicyFileChange& change) {
    const PolicyPath& path = change.path;
    const bool done = change.text
                          ? makeDirectories(path.directory, 0755) &&
                                replaceFile(path.directory, path.name, *change.text, change.mode)
                          : unlink(path.full().c_str()) == 0 || errno == ENOENT;
    return done ? std::string() : path.full() + ": cannot be written: " + std::strerror(errno);
}

}  // namespace

PolicyPlan planBrowserPolicies(const InstalledBrowsers& installed) {
    PolicyPlan plan;
    const SitesListing sites = readSitesFile(administratorAllowedSitesPath(), 0);
    if (!sites.problem.empty()) {
        plan.problem = sites.problem;
        return plan;
    }
    const OptionalText chromium =
        sites.origins.empty() ? std::nullopt : chromiumPolicyText(sites.origins);
    if (!sites.origins.empty() && !chromium) {
        plan.problem = "out of memory";
        return plan;
    }
    for (const auto& [browser, path] : {std::pair{Browser::Chromium, kChromiumPolicyFile},
                                        std::pair{Browser::Chrome, kChromePolicyFile}}) {
        if (!installed.has(browser)) {
            plan.skipped.push_back(browser);
            continue;
        }
        const FileText now = readPolicyFile(path.full());
        plan.problem = now.problem;
        if (!plan.problem.empty()) return plan;
        planFile(plan.changes, path, now, chromium);
    }
    if (!installed.has(Browser::Firefox))
        plan.skipped.push_back(Browser::Firefox);
    else if (!planFirefox(plan, sites.origins))
        plan.changes.clear();
    return plan;
}

std::string applyPolicyPlan(const PolicyPlan& plan) {
    for (const auto* changes : {&plan.recordBefore, &plan.changes, &plan.recordAfter})
        for (const PolicyFileChange& change : *changes)
            if (std::string problem = applyChange(change); !problem.empty()) return problem;
    return {};
}

}  // namespace quillmark
