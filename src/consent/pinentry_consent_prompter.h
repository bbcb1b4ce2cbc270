#pragma once

#include "consent/consent_prompter.h"

namespace quillmark {

// Asks through a pinentry program, found as for the PIN dialog: CONFIRM, with the site and the
// request in its description, Allow on its OK button and Deny on its cancel button. Closing
// the dialog, or "Not confirmed", is Deny; a time-out is NoAnswer, and so is the lack of any
// usable program (then the log names what to install). The agent's stop (closePinentries)
// closes it too.
class PinentryConsentPrompter : public ConsentPrompter {
  public:
    ConsentAnswer ask(const ConsentQuestion& question) override;
    void cancel() override;
};

}  // namespace quillmark
