#pragma once

#include <string>

namespace quillmark {

// The origin with its host's internationalised labels ("xn--…") in Unicode (IDNA 2008),
// scheme and port as they are; empty when the host has none, or they do not decode to a name
// IDNA 2008 allows.
std::string unicodeOrigin(const std::string& origin);

}  // namespace quillmark
