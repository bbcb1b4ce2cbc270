#include "check/readiness_report.h"

#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "check/allowed_sites_report.h"
#include "check/port_holder.h"
#include "check/token_module_failure.h"
#include "consent/allowed_sites.h"
#include "dialogs/pinentry_consent_prompter.h"
#include "dialogs/pinentry_dialog.h"
#include "dialogs/shown_text.h"
#include "keystore/store_survey.h"
#include "policies/policies_found.h"
#include "server/agent_port.h"
#include "support/log_file.h"
#include "support/module_path.h"

namespace quillmark {
namespace {

constexpr char kImportAdvice[] =
    "import your certificate with: pk12util -d sql:$HOME/.pki/nssdb -i your-certificate.p12, "
    "or plug in your token";

std::string shown(const std::string& text) {
    return shownText(text, false);
}

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool isAgent(const std::string& program) {
    return program == "quillmarkd" || program == "QuillmarkXp";
}

// The desktop agent's window runs this check as a child of the agent: an agent that is the
// parent of this process is the one asking.
bool isParent(const std::string& program) {
    return fileNameOf(executablePathOf(getppid())) == program;
}

void checkPort(ReadinessReport& report) {
    const std::string port = "port " + std::to_string(kServerPort);
    const PortHolder holder = findPortHolder(kServerPort);
    std::string who;
    if (holder.kind == PortHolder::Kind::Nobody) {
        who = "nobody";
        report.problems.push_back(
            "The agent is not running: start quillmarkd, or QuillmarkXp from "
            "your desktop's menu.");
    } else if (holder.kind == PortHolder::Kind::OtherUser) {
        who = "a program of another user (uid " + std::to_string(holder.uid) + ")";
        report.problems.push_back(
            "Another user's program holds " + port +
            ": ask them or the administrator to close it, then start the agent.");
    } else if (isAgent(holder.program)) {
        who = (isParent(holder.program) ? "this agent (" : "the agent (") + holder.program + ")";
    } else {
        const std::string program =
            holder.program.empty() ? "another program" : shown(holder.program);
        who = program;
        report.problems.push_back(program + " holds " + port + ": close it, then start the agent.");
    }
    report.lines.push_back("Port " + std::to_string(kServerPort) + ": held by " + who);
}

void reportStore(const StoreSurvey& store, ReadinessReport& report) {
    const std::string path = shown(store.path);
    if (store.state == StoreSurvey::State::Missing) {
        report.lines.push_back("Certificate store: " + path + ": not there");
        report.problems.push_back(
            "There is no certificate store yet: make it with: mkdir -p "
            "~/.pki/nssdb && certutil -N -d sql:$HOME/.pki/nssdb --empty-password, "
            "then " +
            std::string(kImportAdvice) + ".");
        return;
    }
    if (store.state == StoreSurvey::State::Unreadable) {
        report.lines.push_back("Certificate store: " + path + ": cannot be opened");
        report.problems.push_back(
            "The certificate store " + path +
            " cannot be opened: check that its files are yours and readable.");
        return;
    }
    const std::string keys = store.keys ? counted(*store.keys, "key", "keys")
                                        : std::string("keys hidden by the password");
    report.lines.push_back("Certificate store: " + path + ": " +
                           counted(store.certificates, "certificate", "certificates") + ", " +
                           keys + ", " + (store.hasPassword ? "with a password" : "no password"));
}

void reportTokens(const StoreSurvey& store, ReadinessReport& report) {
    for (const TokenModuleLoad& load : store.modules) {
        const std::string module =
            shown(load.module.name) + " (" + shown(load.module.library) + ")";
        if (load.result != ModuleLoad::Failed) {
            report.lines.push_back("Token module " + module + ": loaded");
            continue;
        }
        const ModuleFailureReport failure = explainModuleFailure(load);
        report.lines.push_back("Token module " + module +
                               ": could not be loaded: " + failure.cause);
        report.problems.push_back("The token module " + module +
                                  " could not be loaded: " + failure.cause + ". " + failure.advice);
    }
    for (const TokenSummary& token : store.tokens)
        report.lines.push_back(
            "Token \"" + shown(token.name) + "\" in " + shown(token.module) + ": " +
            counted(token.userCertificates, "certificate of yours", "certificates of yours"));
    if (store.state != StoreSurvey::State::Opened) return;
    report.lines.push_back("Certificates you can sign with: " +
                           std::to_string(store.userCertificates));
    if (store.userCertificates == 0)
        report.problems.push_back(
            "No certificate with its key was found: " + std::string(kImportAdvice) + ".");
}

void checkDialog(ReadinessReport& report) {
    if (!graphicalSession()) {
        report.lines.push_back("Dialogs: cannot be shown: no graphical session");
        report.problems.push_back(
            "No dialog can ask you, as DISPLAY and WAYLAND_DISPLAY are not set: run the agent in "
            "your desktop session, or for a user service run: systemctl --user "
            "import-environment DISPLAY WAYLAND_DISPLAY XAUTHORITY");
        return;
    }
    const std::string program = consentDialogProgram();
    if (program.empty()) {
        report.lines.push_back("Dialogs: cannot be shown: no dialog program");
        report.problems.push_back(
            "No dialog program is installed: install qt6-qpa-plugins, or "
            "pinentry-qt or pinentry-gtk2.");
        return;
    }
    report.lines.push_back("Dialogs: shown with " + shown(program));
}

// Whether an installed browser's policy names the site; a browser that is not installed needs
// none, and --browser-policies writes none for it.
const char* policyState(bool installed, bool found) {
    if (!installed) return "not installed";
    return found ? "found" : "missing";
}

// Which browsers' policies let each allowed site reach the agent without asking. Without them
// the browser asks the user once, so a missing policy is advice, not a problem.
void reportBrowserPolicies(ReadinessReport& report) {
    std::set<std::string> origins;
    for (const auto& [path, owner] : {std::pair{userAllowedSitesPath(), geteuid()},
                                      std::pair{administratorAllowedSitesPath(), uid_t{0}}}) {
        const std::vector<std::string> listed = readSitesFile(path, owner).origins;
        origins.insert(listed.begin(), listed.end());
    }
    if (origins.empty()) return;
    const PoliciesFound found;
    const InstalledBrowsers installed;
    bool missing = false;
    for (const std::string& origin : origins) {
        std::string states;
        for (const Browser browser : kBrowsers) {
            const bool named = found.names(browser, origin);
            missing = missing || (installed.has(browser) && !named);
            states += std::string(states.empty() ? "" : ", ") + browserName(browser) + " " +
                      policyState(installed.has(browser), named);
        }
        report.lines.push_back("Browser policies for " + shownText(origin, true) + ": " + states);
    }
    if (missing)
        report.lines.push_back(
            "Advice: without a policy, the browser asks before a site may reach the agent; for "
            "the administrator's sites, write them with: sudo quillmarkd --browser-policies");
}

}  // namespace

ReadinessReport checkReadiness() {
    ReadinessReport report;
    checkPort(report);
    const StoreSurvey store = surveyUserStore();
    reportStore(store, report);
    reportTokens(store, report);
    checkDialog(report);
    const AllowedSitesReport sites = reportAllowedSites();
    report.lines.insert(report.lines.end(), sites.lines.begin(), sites.lines.end());
    if (sites.ignored)
        report.problems.push_back("A list of allowed sites is ignored: mend it as said above.");
    reportBrowserPolicies(report);
    const std::string log = logFilePathFor(getModuleDirectory());
    report.lines.push_back(
        "Log: " + (log.empty() ? std::string("none, as no home folder is known") : shown(log)));
    return report;
}

}  // namespace quillmark
