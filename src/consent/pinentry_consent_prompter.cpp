#include "consent/pinentry_consent_prompter.h"

#include <string>
#include <vector>

#include "consent/unicode_origin.h"
#include "keystore/consent_prompt_texts.h"
#include "keystore/pin_prompt_texts.h"
#include "keystore/pinentry_dialog.h"

namespace quillmark {
namespace {

constexpr char kNoDialogLog[] =
    "No usable consent dialog program; install pinentry-gnome3 or pinentry-qt";

std::vector<std::string> dialogSettings(const ConsentQuestion& question) {
    ConsentPromptContext context{question.site, unicodeOrigin(question.site), question.sign,
                                 question.certificateName};
    return {std::string("SETTITLE ") + kPinDialogTitle,
            "SETDESC " + escapeAssuanParameter(consentDescription(context)),
            std::string("SETOK ") + kConsentAllow, std::string("SETCANCEL ") + kConsentDeny,
            "SETTIMEOUT " + std::to_string(kPinentryDialogSeconds)};
}

// CONFIRM: OK allows; the cancel button, "Not confirmed" or a closed window denies.
DialogRun confirm(PinentryProcess& pinentry, ConsentAnswer& answer) {
    if (!pinentry.send("CONFIRM")) return DialogRun::Unusable;
    switch (pinentry.readReply()) {
        case AssuanReply::Ok:
            pinentry.send("BYE");
            answer = ConsentAnswer::Allow;
            return DialogRun::Answered;
        case AssuanReply::Cancelled:
            answer = ConsentAnswer::Deny;
            return DialogRun::Answered;
        case AssuanReply::TimedOut:
            return DialogRun::Closed;
        default:
            return DialogRun::Unusable;
    }
}

}  // namespace

ConsentAnswer PinentryConsentPrompter::ask(const ConsentQuestion& question) {
    ConsentAnswer answer = ConsentAnswer::NoAnswer;
    const auto run = [&answer](PinentryProcess& pinentry) { return confirm(pinentry, answer); };
    if (runPinentryDialog(dialogSettings(question), run, kNoDialogLog) != DialogResult::Answered)
        return ConsentAnswer::NoAnswer;
    return answer;
}

void PinentryConsentPrompter::cancel() {
    cancelOpenPinentry();
}

}  // namespace quillmark
