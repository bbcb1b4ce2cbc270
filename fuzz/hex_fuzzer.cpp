// Hex decoding of any text: whatever decodes is hex digits alone, one byte per pair (and one
// for an odd first digit), and survives a round trip through bytesToHex.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = quillmark::hexToBytes(text);
    if (!decoded) return 0;
    for (const char c : text) {
        if (quillmark::hexDigitValue(c) < 0) std::abort();
    }
    if (decoded->size() != (size + 1) / 2) std::abort();
    if (decoded->empty()) return 0;
    const auto encoded = quillmark::bytesToHex(*decoded);
    if (!encoded || quillmark::hexToBytes(*encoded) != decoded) std::abort();
    return 0;
}
