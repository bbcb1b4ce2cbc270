#pragma once

#include <cstddef>

#include "support/bytes.h"

namespace quillmark {

// AES-256-CBC with PKCS #7 padding under the compiled-in payload key and IV, so that a
// page holding the same pair can read and write secure-mode payloads.
Bytes encryptPayload(const std::uint8_t* plain, std::size_t count);
inline Bytes encryptPayload(const Bytes& plain) {
    return encryptPayload(plain.data(), plain.size());
}

// No result when the cipher rejects the input (empty, not whole blocks, bad padding).
OptionalBytes decryptPayload(const std::uint8_t* cipher, std::size_t count);
inline OptionalBytes decryptPayload(const Bytes& cipher) {
    return decryptPayload(cipher.data(), cipher.size());
}

// The same deciphering, over the cipher text itself: the count of plain bytes now at its start.
std::optional<std::size_t> decryptPayloadInPlace(std::uint8_t* data, std::size_t count);

}  // namespace quillmark
