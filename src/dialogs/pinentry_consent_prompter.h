#pragma once

#include <string>

#include "consent/consent_prompter.h"

namespace quillmark {

// The program a consent question would be shown with first on this session (the agent's own
// dialog, else an installed graphical pinentry that can ask it), found without starting it;
// empty when the session is not graphical or none is installed.
std::string consentDialogProgram();

// Asks through a dialog program in pinentry's protocol. On a graphical session the agent's own
// consent dialog (quillmark-consent, the desktop agent's dialog) comes first: its buttons take
// nothing for a moment after it appears, and Deny is its default. Where it cannot be shown, a
// pinentry asks with CONFIRM in a form where Enter cannot allow: its default OK button and its
// cancel button deny, and Allow is its third button (pinentry-gnome3, which draws none, is
// skipped). Closing the dialog is Deny; a time-out is NoAnswer, and so is the lack of any usable
// program (then the log names what to install). The agent's stop (closePinentries) closes it
// too.
class PinentryConsentPrompter : public ConsentPrompter {
  public:
    ConsentAnswer ask(const ConsentQuestion& question) override;
    void cancel() override;
};

}  // namespace quillmark
