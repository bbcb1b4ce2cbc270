#pragma once

#include <string>

#include "support/bytes.h"

namespace quillmark {

// The getCerts reply: every user certificate with its display name, serial text and chain
// (Base64 DER, leaf first), the count of certificates visited in `size`, or the error of the
// store that could not be opened. No result only when the reply cannot be allocated.
OptionalText handleGetCerts();

// The name as the listing reports it: cut to 127 UTF-16 code units, as a 128-unit name
// buffer holds, and left out (no result) when its UTF-8 form then needs more than 255 bytes.
OptionalText fitDisplayName(const std::string& utf8Name);

}  // namespace quillmark
