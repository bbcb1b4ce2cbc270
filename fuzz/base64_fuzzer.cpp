// Base64 decoding of any text; whatever decodes must encode to a text that decodes to the
// same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/base64.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const auto decoded =
        quillmark::base64Decode(std::string_view(reinterpret_cast<const char*>(data), size));
    if (!decoded || decoded->empty()) return 0;
    const auto encoded = quillmark::base64Encode(*decoded);
    if (!encoded || quillmark::base64Decode(*encoded) != decoded) std::abort();
    return 0;
}
