#include "support/hex.h"

namespace quillmark {

int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

OptionalText bytesToHex(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return std::nullopt;
    constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (std::size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 15];
    }
    return text;
}

OptionalBytes hexToBytes(std::string_view text) {
    Bytes bytes;
    bytes.reserve((text.size() + 1) / 2);
    // An odd length gives the first digit a byte of its own, as if a zero led it.
    int high = text.size() % 2 == 1 ? 0 : -1;
    for (const char c : text) {
        const int value = hexDigitValue(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
            continue;
        }
        bytes.push_back(static_cast<std::uint8_t>(high << 4 | value));
        high = -1;
    }
    return bytes;
}

}  // namespace quillmark
