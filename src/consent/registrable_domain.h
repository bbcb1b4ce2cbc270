#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quillmark {

// An origin cut around the part that names who holds the site: before + domain + after is
// the origin.
struct OriginParts {
    std::string before;
    std::string domain;
    std::string after;
};

// Cuts the origin around its host's registrable domain, the name under a public suffix that
// someone registered ("example.com" in "https://portal.example.vn.example.com"), found in the
// Public Suffix List with libpsl. A host with none (an address, a public suffix itself, a
// single label) is the domain whole; an origin without a host name (IPv6, "null") is `before`
// alone. The host may be in ASCII or in Unicode.
OriginParts splitAtRegistrableDomain(const std::string& origin);

// The site an origin belongs to: its registrable domain in lowercase ("attacker.example" for
// "https://a.attacker.example:8443"), so that the frames of one site on many subdomains count
// as one. A host without one is its own site; an origin without a host name is the whole
// text. Any thread may call it.
std::string registrableDomain(std::string_view origin);

// Where a host name's registrable domain and its public suffix start in it: 7 and 15 in
// "portal.example.vn". None for a host without a registrable domain (an address, a public
// suffix itself, a single label). The host is in lowercase, in ASCII or in Unicode, without a
// final dot.
struct DomainBounds {
    std::size_t domain = 0;
    std::size_t suffix = 0;
};
std::optional<DomainBounds> domainBounds(const std::string& host);

}  // namespace quillmark
