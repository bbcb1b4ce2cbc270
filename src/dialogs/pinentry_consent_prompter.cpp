#include "dialogs/pinentry_consent_prompter.h"

#include <unistd.h>

#include <optional>
#include <string>
#include <vector>

#include "consent/unicode_origin.h"
#include "dialogs/consent_prompt_texts.h"
#include "dialogs/pin_prompt_texts.h"
#include "dialogs/pinentry_dialog.h"
#include "support/module_path.h"

namespace quillmark {
namespace {

constexpr char kNoDialogLog[] =
    "No usable consent dialog program; quillmark-consent needs qt6-qpa-plugins, else install "
    "pinentry-qt or pinentry-gtk2";
constexpr char kConsentProgramName[] = "quillmark-consent";
// pinentry-gnome3 draws no third button (SETNOTOK), so its form of the dialog could only deny.
constexpr char kNoThirdButton[] = "pinentry-gnome3";

// The agent's own consent dialog: beside the running executable (the build tree), else where
// the package installs it; empty when neither is there.
std::string consentProgram() {
    for (const std::string& path :
         {getModuleDirectory() + kConsentProgramName, std::string(QUILLMARK_CONSENT_PROGRAM)}) {
        if (access(path.c_str(), X_OK) == 0) return path;
    }
    return {};
}

// CONFIRM, each reply read as `answerOf` says; a time-out closes the dialog unanswered.
template <typename AnswerOf>
DialogRun confirm(PinentryProcess& pinentry, ConsentAnswer& answer, AnswerOf answerOf) {
    if (!pinentry.send("CONFIRM")) return DialogRun::Unusable;
    const AssuanReply reply = pinentry.readReply();
    if (reply == AssuanReply::TimedOut) return DialogRun::Closed;
    const std::optional<ConsentAnswer> given = answerOf(reply);
    if (!given) return DialogRun::Unusable;
    pinentry.send("BYE");
    answer = *given;
    return DialogRun::Answered;
}

// What the agent's own dialog is told: the site, and what its warnings need (the allowed name
// the site imitates and whose the site is, a store without a password).
std::vector<std::string> ownSettings(const ConsentQuestion& question) {
    std::vector<std::string> settings{"SETSITE " + escapeAssuanParameter(question.site)};
    if (question.lookalike) {
        settings.push_back("SETIMITATED " + escapeAssuanParameter(question.lookalike->imitated));
        settings.push_back("SETOWNER " + escapeAssuanParameter(question.lookalike->owner));
    }
    if (question.storeWithoutPassword) settings.emplace_back("SETNOPASSWORD");
    return settings;
}

// The agent's own dialog is given the site and draws it itself: OK allows, a cancellation
// (Deny, its close box or Escape) denies.
DialogSteps ownSteps(const ConsentQuestion& question, ConsentAnswer& answer) {
    const auto answerOf = [](AssuanReply reply) -> std::optional<ConsentAnswer> {
        if (reply == AssuanReply::Ok) return ConsentAnswer::Allow;
        if (reply == AssuanReply::Cancelled) return ConsentAnswer::Deny;
        return std::nullopt;
    };
    return {ownSettings(question), [&answer, answerOf](PinentryProcess& pinentry) {
                return confirm(pinentry, answer, answerOf);
            }};
}

// A pinentry's OK button is its default, pressed by Enter and, having the focus, by Space: it
// denies here. Allow is the third button ("Not confirmed"), so that no key pressed alone
// allows; the cancel button, Escape or the close box deny too.
DialogSteps pinentrySteps(const ConsentQuestion& question, ConsentAnswer& answer) {
    const ConsentPromptContext context{question.site, unicodeOrigin(question.site),
                                       question.lookalike, question.storeWithoutPassword};
    const auto answerOf = [](AssuanReply reply) -> std::optional<ConsentAnswer> {
        if (reply == AssuanReply::NotConfirmed) return ConsentAnswer::Allow;
        if (reply == AssuanReply::Ok || reply == AssuanReply::Cancelled) return ConsentAnswer::Deny;
        return std::nullopt;
    };
    return {{std::string("SETTITLE ") + kPinDialogTitle,
             "SETDESC " + escapeAssuanParameter(consentDescription(context)),
             std::string("SETOK ") + kConsentDeny, std::string("SETNOTOK ") + kConsentAllow,
             std::string("SETCANCEL ") + kConsentClose,
             "SETTIMEOUT " + std::to_string(kPinentryDialogSeconds)},
            [&answer, answerOf](PinentryProcess& pinentry) {
                return confirm(pinentry, answer, answerOf);
            }};
}

}  // namespace

std::string consentDialogProgram() {
    if (!graphicalSession()) return {};
    if (std::string own = consentProgram(); !own.empty()) return own;
    for (std::string& program : installedGraphicalPinentries()) {
        if (program != kNoThirdButton) return program;
    }
    return {};
}

ConsentAnswer PinentryConsentPrompter::ask(const ConsentQuestion& question) {
    ConsentAnswer answer = ConsentAnswer::NoAnswer;
    const std::string program = consentProgram();
    const OwnDialogProgram own{program, ownSteps(question, answer)};
    const DialogResult result =
        runPinentryDialog(pinentrySteps(question, answer), question.request, kNoDialogLog,
                          program.empty() ? nullptr : &own, kNoThirdButton);
    return result == DialogResult::Answered ? answer : ConsentAnswer::NoAnswer;
}

void PinentryConsentPrompter::cancel() {
    cancelOpenPinentry();
}

}  // namespace quillmark
