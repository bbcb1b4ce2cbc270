#pragma once

#include <optional>
#include <string>

#include "consent/lookalike_site.h"
#include "support/dialog_turns.h"

namespace quillmark {

// The site that asks the user's consent: an Allow lets it list the certificates and sign.
struct ConsentQuestion {
    // The page's origin as its browser sent it: scheme, host and port; "null" for a sandboxed
    // frame or a local file.
    std::string site;
    // The request that asks, whose dialog turn the question takes; null outside any runner.
    const RequestScope* request = nullptr;
    // The allowed site whose name the site's host carries though it is not that site's, and
    // whose it is; set by the consent gate from the lists as it asks.
    std::optional<Lookalike> lookalike{};
    // The user's certificate store has no password: once allowed, the site may sign with the
    // store's certificates and nothing more is asked. Set by the request, which holds the store.
    bool storeWithoutPassword = false;
};

// How the user answered: Allow and Deny are remembered; NoAnswer (the dialog timed out, was
// cancelled or could not be shown) refuses this request alone.
enum class ConsentAnswer { Allow, Deny, NoAnswer };

// The dialog that asks the user. Each agent makes its own at start and hands it to the server
// with each request's services: quillmarkd a pinentry dialog, the desktop agent its own window.
// ask() is called on a request's thread, never the service thread, one question at a time; cancel()
// may come from any thread, while ask() runs or not.
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
