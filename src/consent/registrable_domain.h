#pragma once

#include <string>
#include <string_view>

namespace quillmark {

// The site an origin belongs to: the registrable domain of its host, found with the Public
// Suffix List ("attacker.example" for "https://a.attacker.example:8443"), so that the frames
// of one site on many subdomains count as one. A host without one (an address, "localhost", a
// public suffix itself) is its own site; an origin without a host ("null") is the whole text.
// Any thread may call it.
std::string registrableDomain(std::string_view origin);

}  // namespace quillmark
