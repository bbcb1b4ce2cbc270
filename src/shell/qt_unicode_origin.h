#pragma once

#include <string>

namespace quillmark {

// The origin with its host's internationalised labels in Unicode, converted by Qt's own IDNA
// (UTS #46, whatever the top-level domain); empty when the host has none, or its Unicode form
// does not encode back to the same host.
std::string qtUnicodeOrigin(const std::string& origin);

}  // namespace quillmark
