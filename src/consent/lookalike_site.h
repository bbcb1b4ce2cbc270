#pragma once

#include <optional>
#include <string>
#include <vector>

namespace quillmark {

// A site whose host carries the name of an allowed site, though it belongs to someone else:
// "https://portal.example.vn.attacker.example" carries "portal.example.vn" but is
// attacker.example's.
struct Lookalike {
    // The allowed site's host or registrable domain that the host carries, its
    // internationalised labels in Unicode (as the user knows the site).
    std::string imitated;
    // The registrable domain the host belongs to, in ASCII as the browser sent it.
    std::string owner;

    bool operator==(const Lookalike& other) const {
        return imitated == other.imitated && owner == other.owner;
    }
};

// Which allowed site the origin's host imitates, if any. A name that may be imitated is the
// host of an allowed origin, or that host's registrable domain (not a public suffix, an
// address or a single label: too common a word). The host imitates it when the name's labels
// stand in it as whole words, '.' and '-' counting alike between words ("example.vn" in
// "example.vn.attacker.example", "example.vn-login.attacker.example",
// "example-vn.attacker.example"), wholly before the host's public suffix: "example.com.vn" does
// not imitate "example.com", nor "abc-bank.vn" "bank.vn". A host within the name's own
// registrable domain imitates nothing. Names and host are compared in ASCII, whatever form
// the list holds; the longest name carried wins. None for an origin without a host name.
std::optional<Lookalike> imitatedSite(const std::string& origin,
                                      const std::vector<std::string>& allowedOrigins);

}  // namespace quillmark
