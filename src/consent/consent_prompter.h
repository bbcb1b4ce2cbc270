#pragma once

#include <string>

namespace quillmark {

// What a site asks the user's consent for.
struct ConsentQuestion {
    // The page's origin as its browser sent it: scheme, host and port; "null" for a sandboxed
    // frame or a local file.
    std::string site;
    // To sign, else to see the user's certificates.
    bool sign = false;
    // The certificate to sign with; empty when no certificate has the serial asked for.
    std::string certificateName;
};

// How the user answered: Allow and Deny are remembered; NoAnswer (the dialog timed out, was
// cancelled or could not be shown) refuses this request alone.
enum class ConsentAnswer { Allow, Deny, NoAnswer };

// The dialog that asks the user. Each agent installs its own at start (setConsentPrompter):
// quillmarkd a pinentry dialog, the desktop agent its own window. ask() is called on a
// request's thread, never the service thread, one question at a time; cancel() may come from
// any thread, while ask() runs or not.
class ConsentPrompter {
  public:
    virtual ~ConsentPrompter() = default;
    // Shows the question and waits for the answer.
    virtual ConsentAnswer ask(const ConsentQuestion& question) = 0;
    // Closes the dialog open now, if any: its ask() returns NoAnswer. For a stop, or a page
    // that went away.
    virtual void cancel() = 0;
};

}  // namespace quillmark
