#pragma once

#include <string>

namespace quillmark {

// What a site asks the user's consent for, as the consent dialog says it.
struct ConsentPromptContext {
    // The page's origin as its browser sent it (scheme, host in ASCII, port).
    std::string origin;
    // The same origin with its host in Unicode; empty when the host has no internationalised
    // name.
    std::string unicodeOrigin;
    // To sign (with the named certificate, when its name is known), else to see the
    // certificates.
    bool sign = false;
    std::string certificateName;
};

// The dialog's description, in lines separated by "\n": which site asks what, and what
// allowing means. Texts from the request are shown as shownText makes them.
std::string consentDescription(const ConsentPromptContext& context);

// The button that allows the site, and the one that denies it.
extern const char kConsentAllow[];
extern const char kConsentDeny[];

}  // namespace quillmark
