// quillmarkd: the signing agent without a tray or dialog, for desktops without a tray,
// systemd user services and tests. It replaces older copies of itself, serves until SIGINT
// or SIGTERM, then stops in order; a restart asked of it as a service ends it with the status
// on which its unit starts it again.
#include <signal.h>
#include <sysexits.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "check/allowed_sites_report.h"
#include "check/port_holder.h"
#include "check/self_check.h"
#include "daemon/browser_policies_command.h"
#include "desktop/autostart.h"
#include "desktop/other_copies.h"
#include "desktop/self_restart.h"
#include "dialogs/pinentry_consent_prompter.h"
#include "dialogs/pinentry_pin_prompter.h"
#include "dialogs/shown_text.h"
#include "server/server_thread.h"
#include "signing/signature_journal.h"
#include "support/command_line.h"
#include "support/module_path.h"

using namespace quillmark;

namespace {

void onStopSignal(int) {
    requestStop();
}

void stopOnTerminate() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

// Without a window of its own, the agent tells of each signature on stderr: the journal,
// under systemd.
void reportSignature(const SignatureRecord& record) {
    std::fprintf(stderr, "quillmarkd: %s\n", signatureTraceText(record).c_str());
}

// What --history says when the journal holds no signature: where it looked ("%s"), or that no
// home folder is known to keep a journal in.
constexpr char kNoSignatureFound[] = "No signature found in %s.\n";
constexpr char kNoJournal[] = "No signature found: no home folder is known to keep them in.\n";

// One line per signature of the journal, newest first. The texts come from pages and
// certificates: they are shown as a dialog shows them, so that none can steer the terminal.
int printHistory() {
    const std::vector<SignatureRecord> records = readSignatureJournal();
    if (records.empty()) {
        const std::string path = signatureJournalPath();
        if (path.empty())
            std::fputs(kNoJournal, stdout);
        else
            std::printf(kNoSignatureFound, shownText(path, false).c_str());
    }
    for (auto record = records.rbegin(); record != records.rend(); ++record) {
        const std::string site =
            record->site.empty() ? "a local program" : shownText(record->site, true);
        std::printf("%s  %-3s  %s  \"%s\" (serial %s)  %zu bytes  SHA-256 %s\n",
                    shownText(record->time, true).c_str(), record->kind.c_str(), site.c_str(),
                    shownText(record->certificate, false).c_str(),
                    shownText(record->serial, true).c_str(), record->dataSize,
                    record->sha256.c_str());
    }
    return std::fflush(stdout) == 0 ? EX_OK : EX_IOERR;
}

int printSites() {
    for (const std::string& line : reportAllowedSites().lines)
        std::printf("%s\n", line.c_str());
    return std::fflush(stdout) == 0 ? EX_OK : EX_IOERR;
}

const ProgramUsage kUsage{
    "quillmarkd",
    "The headless Quillmark signing agent: lets web pages list the certificates of your NSS\n"
    "store and sign with them, on 127.0.0.1:7681 and [::1]:7681. It replaces any other\n"
    "running copy and serves until SIGINT or SIGTERM.\n",
    {{"--history", "print the last signatures made, newest first, and exit", printHistory},
     {"--sites", "print the sites allowed, by you and by the administrator, and exit", printSites},
     {"--check",
      "tell whether web pages can use the agent now, and what to do if not; exit 1 if not",
      printSelfCheck},
     {"--browser-policies",
      "write the browser policies for the administrator's allowed sites (as root); "
      "--dry-run prints the change only",
      writeBrowserPolicies, "--dry-run", printBrowserPoliciesChange}}};

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = answerCommandLine(argc, argv, kUsage)) return *status;
    // As a user service (systemd sets INVOCATION_ID) this agent would race the desktop agent
    // for the port at every login when both are enabled; the service gives way, and its exit
    // status tells systemd not to try again.
    if (runByServiceManager()) {
        if (const std::string entry = enabledAutostartEntry(); !entry.empty()) {
            std::fprintf(stderr,
                         "quillmarkd: not started: the desktop agent QuillmarkXp starts at login "
                         "(%s); enable only one of them, see quillmarkd(1)\n",
                         entry.c_str());
            return EX_CONFIG;
        }
        // systemd ends the unit's whole control group with its main process, so a new copy
        // started from here would not outlive this one: the unit restarts the agent instead.
        restartThroughServiceManager();
    }

    // Until the older copies are gone, a close request from a newer copy ends this one at
    // once (the default action): it holds nothing yet, and the newer copy need not wait.
    closeOtherInstances(fileNameOf(executablePath()));
    stopOnTerminate();

    // The thread fails only while setting up, so it ends with an error code at once; a stop
    // request, even one that arrives during start-up, ends it with 0.
    PinentryConsentPrompter consentPrompter;
    PinentryPinPrompter pinPrompter;
    const RequestServices services{&consentPrompter, &pinPrompter, reportSignature};
    if (startServerThread(services).exitCode.get() != 0) {
        std::fprintf(stderr, "%s\n", startFailureText().c_str());
        return 1;
    }
    return stoppingForRestart() ? kRestartExitStatus : 0;
}
