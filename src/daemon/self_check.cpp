#include "daemon/self_check.h"

#include <cstdio>
#include <string>
#include <vector>

#include "daemon/allowed_sites_report.h"
#include "dialogs/pinentry_consent_prompter.h"
#include "dialogs/pinentry_dialog.h"
#include "dialogs/shown_text.h"
#include "keystore/store_survey.h"
#include "server/port_holder.h"
#include "server/server_thread.h"
#include "support/log_file.h"
#include "support/module_path.h"

namespace quillmark {
namespace {

constexpr char kImportAdvice[] =
    "import your certificate with: pk12util -d sql:$HOME/.pki/nssdb -i your-certificate.p12, "
    "or plug in your token";

using Problems = std::vector<std::string>;

std::string shown(const std::string& text) {
    return shownText(text, false);
}

std::string counted(std::size_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

bool isAgent(const std::string& program) {
    return program == "quillmarkd" || program == "QuillmarkXp";
}

void checkPort(Problems& problems) {
    const std::string port = "port " + std::to_string(kServerPort);
    const PortHolder holder = findPortHolder(kServerPort);
    std::string who;
    if (holder.kind == PortHolder::Kind::Nobody) {
        who = "nobody";
        problems.push_back(
            "The agent is not running: start quillmarkd, or QuillmarkXp from "
            "your desktop's menu.");
    } else if (holder.kind == PortHolder::Kind::OtherUser) {
        who = "a program of another user (uid " + std::to_string(holder.uid) + ")";
        problems.push_back("Another user's program holds " + port +
                           ": ask them or the administrator to close it, then start the agent.");
    } else if (isAgent(holder.program)) {
        who = "the agent (" + holder.program + ")";
    } else {
        const std::string program =
            holder.program.empty() ? "another program" : shown(holder.program);
        who = program;
        problems.push_back(program + " holds " + port + ": close it, then start the agent.");
    }
    std::printf("Port %d: held by %s\n", kServerPort, who.c_str());
}

void printStore(const StoreSurvey& store, Problems& problems) {
    const std::string path = shown(store.path);
    if (store.state == StoreSurvey::State::Missing) {
        std::printf("Certificate store: %s: not there\n", path.c_str());
        problems.push_back(
            "There is no certificate store yet: make it with: mkdir -p "
            "~/.pki/nssdb && certutil -N -d sql:$HOME/.pki/nssdb --empty-password, "
            "then " +
            std::string(kImportAdvice) + ".");
        return;
    }
    if (store.state == StoreSurvey::State::Unreadable) {
        std::printf("Certificate store: %s: cannot be opened\n", path.c_str());
        problems.push_back("The certificate store " + path +
                           " cannot be opened: check that its files are yours and readable.");
        return;
    }
    const std::string keys = store.keys ? counted(*store.keys, "key", "keys")
                                        : std::string("keys hidden by the password");
    std::printf("Certificate store: %s: %s, %s, %s\n", path.c_str(),
                counted(store.certificates, "certificate", "certificates").c_str(), keys.c_str(),
                store.hasPassword ? "with a password" : "no password");
}

void printTokens(const StoreSurvey& store, Problems& problems) {
    for (const TokenModuleLoad& load : store.modules) {
        const std::string module =
            shown(load.module.name) + " (" + shown(load.module.library) + ")";
        const char* result = load.result == ModuleLoad::Failed ? "could not be loaded" : "loaded";
        std::printf("Token module %s: %s\n", module.c_str(), result);
        if (load.result == ModuleLoad::Failed)
            problems.push_back("The token module " + module +
                               " could not be loaded: reinstall its package, or remove its "
                               ".module file.");
    }
    for (const TokenSummary& token : store.tokens)
        std::printf("Token \"%s\" in %s: %s\n", shown(token.name).c_str(),
                    shown(token.module).c_str(),
                    counted(token.userCertificates, "certificate of yours", "certificates of yours")
                        .c_str());
    if (store.state != StoreSurvey::State::Opened) return;
    std::printf("Certificates you can sign with: %zu\n", store.userCertificates);
    if (store.userCertificates == 0)
        problems.push_back("No certificate with its key was found: " + std::string(kImportAdvice) +
                           ".");
}

void checkDialog(Problems& problems) {
    if (!graphicalSession()) {
        std::printf("Dialogs: cannot be shown: no graphical session\n");
        problems.push_back(
            "No dialog can ask you, as DISPLAY and WAYLAND_DISPLAY are not set: run the agent in "
            "your desktop session, or for a user service run: systemctl --user "
            "import-environment DISPLAY WAYLAND_DISPLAY XAUTHORITY");
        return;
    }
    const std::string program = consentDialogProgram();
    if (program.empty()) {
        std::printf("Dialogs: cannot be shown: no dialog program\n");
        problems.push_back(
            "No dialog program is installed: install qt6-qpa-plugins, or "
            "pinentry-qt or pinentry-gtk2.");
        return;
    }
    std::printf("Dialogs: shown with %s\n", shown(program).c_str());
}

}  // namespace

int printSelfCheck() {
    Problems problems;
    checkPort(problems);
    const StoreSurvey store = surveyUserStore();
    printStore(store, problems);
    printTokens(store, problems);
    checkDialog(problems);
    if (!printAllowedSites())
        problems.push_back("A list of allowed sites is ignored: mend it as said above.");
    const std::string log = logFilePathFor(getModuleDirectory());
    std::printf("Log: %s\n", log.empty() ? "none, as no home folder is known" : shown(log).c_str());
    for (const std::string& problem : problems)
        std::printf("Problem: %s\n", problem.c_str());
    if (problems.empty()) std::printf("Ready: web pages can list your certificates and sign.\n");
    std::fflush(stdout);
    return problems.empty() ? 0 : 1;
}

}  // namespace quillmark
