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
    std::size_t position = 0;
    if (text.size() % 2 == 1) {
        const int value = hexDigitValue(text[0]);
        if (value < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(value));
        position = 1;
    }
    for (; position < text.size(); position += 2) {
        const int high = hexDigitValue(text[position]);
        if (high < 0) return std::nullopt;
        const int low = hexDigitValue(text[position + 1]);
        bytes.push_back(static_cast<std::uint8_t>(low < 0 ? high : high << 4 | low));
    }
    return bytes;
}

}  // namespace quillmark
