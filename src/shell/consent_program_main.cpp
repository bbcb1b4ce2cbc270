// quillmark-consent: quillmarkd's consent dialog on the user's display, the desktop agent's own.
// quillmarkd runs it as it runs a pinentry, and it speaks that part of pinentry's protocol the
// agent uses: OPTION lines are taken and ignored (Qt finds the display itself), SETSITE names
// the site (escaped as Assuan parameters are), CONFIRM shows the dialog and answers OK for
// Allow, a cancellation for Deny and a time-out for a dialog closed unanswered; BYE or the end
// of input ends it. SETIMITATED and SETOWNER name the allowed site the site's host imitates and
// the domain it belongs to (the warning shows when both are given), and SETNOPASSWORD tells
// that the user's store has no password. Without a display its greeting is an error, and the
// agent turns to a pinentry.
#include <QApplication>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>

#include "dialogs/assuan_client.h"
#include "shell/application_icon.h"
#include "shell/consent_dialog.h"
#include "shell/display.h"

namespace quillmark {
namespace {

// Assuan's replies, with the error codes pinentry gives (source 5, pinentry).
constexpr char kCancelledReply[] = "ERR 83886179 Operation cancelled";
constexpr char kTimedOutReply[] = "ERR 83886142 Timeout";
constexpr char kNoDisplayReply[] = "ERR 83886179 No display";
constexpr char kSyntaxReply[] = "ERR 83886672 Invalid parameter";
constexpr char kUnknownReply[] = "ERR 83886355 Unknown IPC command";
constexpr char kSetSite[] = "SETSITE ";
constexpr char kSetImitated[] = "SETIMITATED ";
constexpr char kSetOwner[] = "SETOWNER ";
constexpr char kSetNoPassword[] = "SETNOPASSWORD";

void reply(const char* line) {
    std::cout << line << '\n' << std::flush;
}

bool startsWith(const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

// The question as the agent set it up, its lookalike given only when named whole.
ConsentQuestion question(const std::string& site, const Lookalike& lookalike,
                         bool storeWithoutPassword) {
    ConsentQuestion asked{site};
    if (!lookalike.imitated.empty() && !lookalike.owner.empty()) asked.lookalike = lookalike;
    asked.storeWithoutPassword = storeWithoutPassword;
    return asked;
}

const char* confirmReply(const ConsentQuestion& question) {
    ConsentDialog dialog(question, applicationIcon());
    ConsentAnswer answer = ConsentAnswer::NoAnswer;
    QObject::connect(&dialog, &ConsentDialog::answered, [&answer](ConsentAnswer given) {
        answer = given;
        QCoreApplication::quit();
    });
    dialog.present();
    QApplication::exec();
    switch (answer) {
        case ConsentAnswer::Allow:
            return "OK";
        case ConsentAnswer::Deny:
            return kCancelledReply;
        case ConsentAnswer::NoAnswer:
            break;
    }
    return kTimedOutReply;
}

// A command's escaped parameter, decoded into `text`; the reply it gets.
const char* parameterReply(const std::string& line, std::size_t prefixLength, std::string& text) {
    return unescapeAssuanParameter(line.substr(prefixLength), text) ? "OK" : kSyntaxReply;
}

// The conversation, one command a line, up to BYE or the end of input.
void converse() {
    std::string site;
    Lookalike lookalike;
    bool storeWithoutPassword = false;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "BYE") {
            reply("OK");
            return;
        }
        if (startsWith(line, kSetSite)) {
            reply(parameterReply(line, sizeof kSetSite - 1, site));
        } else if (startsWith(line, kSetImitated)) {
            reply(parameterReply(line, sizeof kSetImitated - 1, lookalike.imitated));
        } else if (startsWith(line, kSetOwner)) {
            reply(parameterReply(line, sizeof kSetOwner - 1, lookalike.owner));
        } else if (line == kSetNoPassword) {
            storeWithoutPassword = true;
            reply("OK");
        } else if (line == "CONFIRM") {
            reply(confirmReply(question(site, lookalike, storeWithoutPassword)));
        } else {
            reply(startsWith(line, "OPTION ") ? "OK" : kUnknownReply);
        }
    }
}

}  // namespace
}  // namespace quillmark

int main(int argc, char** argv) {
    if (const std::string problem = quillmark::chooseDisplayPlatform(); !problem.empty()) {
        quillmark::reply(quillmark::kNoDisplayReply);
        return EXIT_FAILURE;
    }
    QApplication application(argc, argv);
    application.setQuitOnLastWindowClosed(false);
    quillmark::reply("OK quillmark-consent ready");
    quillmark::converse();
    return EXIT_SUCCESS;
}
