// Deciphers any bytes as a secure-mode payload; what deciphers must encipher back to the
// same bytes (the key and IV are fixed).
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "support/payload_cipher.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto plain = quillmark::decryptPayload(data, size);
    if (!plain) return 0;
    const quillmark::Bytes cipher = quillmark::encryptPayload(*plain);
    if (cipher != quillmark::Bytes(data, data + size)) std::abort();
    return 0;
}
