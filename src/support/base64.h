#pragma once

#include <cstddef>
#include <string_view>

#include "support/bytes.h"

namespace quillmark {

// Standard alphabet with "=" padding and no line breaks. No result when the text length
// would not fit a 32-bit signed length.
OptionalText base64Encode(const std::uint8_t* bytes, std::size_t count);
inline OptionalText base64Encode(const Bytes& bytes) {
    return base64Encode(bytes.data(), bytes.size());
}

// Skips every character outside the alphabet. The count of alphabet characters (pads
// included) must be a nonzero multiple of four. Padding ends the text: only the last group
// may hold pads, one or two at its end, each dropping one byte. An alphabet character or pad
// after them, or three or more pads: no result.
OptionalBytes base64Decode(std::string_view text);

// The same decoding, written to `out` (room for text.size() / 4 * 3 bytes); the count of bytes
// written. `out` may be the text's own first byte: each byte is written behind the characters
// it came from, so a text can be decoded where it lies.
std::optional<std::size_t> base64DecodeInto(std::string_view text, std::uint8_t* out);

}  // namespace quillmark
