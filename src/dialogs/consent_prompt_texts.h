#pragma once

#include <optional>
#include <string>

#include "consent/lookalike_site.h"

namespace quillmark {

// The site that asks the user's consent, as the consent dialog names it.
struct ConsentPromptContext {
    // The page's origin as its browser sent it (scheme, host in ASCII, port).
    std::string origin;
    // The same origin with its host in Unicode; empty when the host has no internationalised
    // name.
    std::string unicodeOrigin;
    // The allowed site the host imitates, if any (see ConsentQuestion).
    std::optional<Lookalike> lookalike{};
    // The user's certificate store has no password.
    bool storeWithoutPassword = false;
};

// The description's words around the site, for a dialog that shows the site on lines of its
// own: what comes before it ("Trang web"; for a page without an address, whose origin is
// "null" and is not shown, the words that name such a page), the request, the warnings, and
// what allowing means; and whether the site is shown at all. A warning is empty when it does
// not apply: that the host carries an allowed site's name but is another's, and that nothing
// more will be asked as the store has no password.
struct ConsentPromptLines {
    bool showsSite = true;
    std::string lead;
    std::string request;
    std::string lookalikeWarning;
    std::string noPasswordWarning;
    std::string note;
};
ConsentPromptLines consentPromptLines(const ConsentPromptContext& context);

// The dialog's description, in lines separated by "\n": which site asks, that an Allow lets it
// both list the certificates and sign, each warning that applies on a line of its own, and
// what allowing means.
// Texts from the request are shown as shownText makes them.
std::string consentDescription(const ConsentPromptContext& context);

// The button that allows the site, and the one that denies it.
extern const char kConsentAllow[];
extern const char kConsentDeny[];
// The third button of the pinentry form of the dialog, which denies as closing it does.
extern const char kConsentClose[];

}  // namespace quillmark
