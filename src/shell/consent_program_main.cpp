// quillmark-consent: quillmarkd's consent dialog on the user's display, the desktop agent's own.
// quillmarkd runs it as it runs a pinentry, and it speaks that part of pinentry's protocol the
// agent uses: OPTION lines are taken and ignored (Qt finds the display itself), SETSITE names
// the site (escaped as Assuan parameters are), CONFIRM shows the dialog and answers OK for
// Allow, a cancellation for Deny and a time-out for a dialog closed unanswered; BYE or the end
// of input ends it. Without a display its greeting is an error, and the agent turns to a
// pinentry.
#include <QApplication>
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

void reply(const char* line) {
    std::cout << line << '\n' << std::flush;
}

bool startsWith(const std::string& line, const std::string& prefix) {
    return line.compare(0, prefix.size(), prefix) == 0;
}

const char* confirmReply(const std::string& site) {
    ConsentDialog dialog(ConsentQuestion{site}, applicationIcon());
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

// The conversation, one command a line, up to BYE or the end of input.
void converse() {
    std::string site;
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line == "BYE") {
            reply("OK");
            return;
        }
        if (startsWith(line, kSetSite)) {
            reply(unescapeAssuanParameter(line.substr(sizeof kSetSite - 1), site) ? "OK"
                                                                                  : kSyntaxReply);
        } else if (line == "CONFIRM") {
            reply(confirmReply(site));
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
