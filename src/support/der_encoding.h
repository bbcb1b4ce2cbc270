#pragma once

#include <cstddef>
#include <cstdint>

#include "support/bytes.h"

namespace quillmark {

// Re-encodes a BER value as DER: indefinite lengths become definite and minimal, constructed
// OCTET STRINGs become primitive, and the members of a universal SET are sorted. No result
// when the input is not one well-formed BER value (trailing bytes included) or nests deeper
// than a signed message ever does.
OptionalBytes berToDer(const std::uint8_t* ber, std::size_t count);
inline OptionalBytes berToDer(const Bytes& ber) {
    return berToDer(ber.data(), ber.size());
}

// The DER length octets for a content of `length` bytes (short form below 128, else the
// minimal long form).
Bytes derLength(std::size_t length);

}  // namespace quillmark
