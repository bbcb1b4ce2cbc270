// Hex decoding of any text; whatever decodes must survive a round trip through bytesToHex.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/hex.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded =
        quillmark::hexToBytes(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded || decoded->empty()) return 0;
    const auto encoded = quillmark::bytesToHex(*decoded);
    if (!encoded || quillmark::hexToBytes(*encoded) != decoded) std::abort();
    return 0;
}
