// Base64 decoding of any text: whatever decodes holds only pads and characters outside the
// alphabet after its first pad, and must encode to a text that decodes to the same bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "support/base64.h"

namespace {

constexpr std::string_view kAlphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

bool dataAfterPadding(std::string_view text) {
    const std::size_t pad = text.find('=');
    return pad != std::string_view::npos &&
           text.find_first_of(kAlphabet, pad) != std::string_view::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto decoded = quillmark::base64Decode(text);
    if (!decoded) return 0;
    if (dataAfterPadding(text)) std::abort();
    if (decoded->empty()) return 0;
    const auto encoded = quillmark::base64Encode(*decoded);
    if (!encoded || quillmark::base64Decode(*encoded) != decoded) std::abort();
    return 0;
}
