#pragma once

#include <cstddef>
#include <string_view>

#include "support/bytes.h"

namespace quillmark {

// Lowercase hex, two digits per byte. Zero bytes give no result: callers treat an empty
// serial number as a failed conversion.
OptionalText bytesToHex(const std::uint8_t* bytes, std::size_t count);
inline OptionalText bytesToHex(const Bytes& bytes) {
    return bytesToHex(bytes.data(), bytes.size());
}

// Either case is accepted. An odd length makes the first digit a byte of its own; each
// following pair becomes one byte. Any character that is not a hex digit: no result.
OptionalBytes hexToBytes(std::string_view text);

// The value of a hex digit of either case, or -1 for any other character.
int hexDigitValue(char c);

}  // namespace quillmark
