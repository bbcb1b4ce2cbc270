#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "support/bytes.h"

namespace quillmark {

// Re-encodes a BER value as DER: indefinite lengths become definite and minimal, constructed
// OCTET STRINGs become primitive, and the members of a universal SET are sorted. No result
// when the input is not one well-formed BER value (trailing bytes included) or nests deeper
// than a signed message ever does.
//
// The members of a value reached by one of the `verbatim` paths are copied as they stand
// (they must have definite lengths), the order of a SET of them included: values taken whole
// from elsewhere, such as certificates, keep the bytes their signatures cover. A path is the
// first identifier octet of each value from the outermost one down to that value.
OptionalBytes berToDer(const std::uint8_t* ber, std::size_t count,
                       const std::vector<Bytes>& verbatim = {});
inline OptionalBytes berToDer(const Bytes& ber, const std::vector<Bytes>& verbatim = {}) {
    return berToDer(ber.data(), ber.size(), verbatim);
}

// The DER length octets for a content of `length` bytes (short form below 128, else the
// minimal long form).
Bytes derLength(std::size_t length);

}  // namespace quillmark
