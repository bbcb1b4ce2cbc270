#pragma once

#include <string>

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

}  // namespace quillmark
