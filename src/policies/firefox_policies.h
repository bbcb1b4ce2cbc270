#pragma once

#include <string>
#include <vector>

#include "support/bytes.h"

namespace quillmark {

// Firefox's policies.json after the agent's sites are merged into its LocalNetworkAccess
// policy, whose SkipDomains lists the sites (by host name) that reach local addresses without
// asking.
struct FirefoxMerge {
    // What is wrong with the existing text, as a few words; nothing is merged then.
    std::string problem;
    bool changed = false;
    // The new text when changed; none when nothing is left in the file, which is then removed.
    OptionalText text;
    // The entries of SkipDomains that are the agent's after the merge.
    std::vector<std::string> written;
};

// Merges into the existing text (none when there is no file) the wanted domains, removing those
// the agent wrote before (`written`) that are no longer wanted. Other policies, keys and
// entries keep their order and values; an entry the agent did not write is never removed, nor
// counted as the agent's. New entries go at the end. A policy, object or file left empty by a
// removal is removed with it. The text is rewritten only when an entry changes.
FirefoxMerge mergeFirefoxPolicies(const OptionalText& existing,
                                  const std::vector<std::string>& wanted,
                                  const std::vector<std::string>& written);

// The domain by which SkipDomains names an origin: its host name in lowercase; empty when the
// origin has no host name.
std::string firefoxDomainOf(const std::string& origin);

// The entries of SkipDomains in a policies.json text; none when it has none or is malformed.
std::vector<std::string> firefoxSkipDomains(const std::string& text);

}  // namespace quillmark
