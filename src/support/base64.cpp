#include "support/base64.h"

#include <array>
#include <climits>

namespace quillmark {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::int8_t kInvalid = -1;

constexpr std::array<std::int8_t, 256> makeReverseTable() {
    std::array<std::int8_t, 256> table{};
    for (auto& entry : table)
        entry = kInvalid;
    for (int value = 0; value < 64; ++value) {
        table[static_cast<unsigned char>(kAlphabet[value])] = static_cast<std::int8_t>(value);
    }
    table['='] = 0;
    return table;
}

constexpr std::array<std::int8_t, 256> kReverse = makeReverseTable();

bool isValid(char c) {
    return kReverse[static_cast<unsigned char>(c)] != kInvalid;
}

}  // namespace

OptionalText base64Encode(const std::uint8_t* bytes, std::size_t count) {
    const std::size_t textLength = (count + 2) / 3 * 4;
    if (textLength >= static_cast<std::size_t>(INT_MAX)) return std::nullopt;

    std::string text;
    text.reserve(textLength);
    std::size_t i = 0;
    for (; i + 3 <= count; i += 3) {
        const std::uint32_t group = bytes[i] << 16 | bytes[i + 1] << 8 | bytes[i + 2];
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += kAlphabet[group >> 6 & 63];
        text += kAlphabet[group & 63];
    }
    const std::size_t rest = count - i;
    if (rest > 0) {
        const std::uint32_t group = bytes[i] << 16 | (rest == 2 ? bytes[i + 1] << 8 : 0);
        text += kAlphabet[group >> 18 & 63];
        text += kAlphabet[group >> 12 & 63];
        text += rest == 2 ? kAlphabet[group >> 6 & 63] : '=';
        text += '=';
    }
    return text;
}

OptionalBytes base64Decode(std::string_view text) {
    std::size_t validCount = 0;
    for (char c : text)
        validCount += isValid(c);
    if (validCount == 0 || validCount % 4 != 0) return std::nullopt;

    Bytes bytes;
    bytes.reserve(validCount / 4 * 3);
    std::uint32_t group = 0;
    int groupSize = 0;
    int pads = 0;
    for (char c : text) {
        if (!isValid(c)) continue;
        pads += c == '=';
        group = group << 6 | static_cast<std::uint32_t>(kReverse[static_cast<unsigned char>(c)]);
        if (++groupSize < 4) continue;

        const std::uint8_t decoded[3] = {static_cast<std::uint8_t>(group >> 16),
                                         static_cast<std::uint8_t>(group >> 8),
                                         static_cast<std::uint8_t>(group)};
        if (pads >= 3) return std::nullopt;
        bytes.insert(bytes.end(), decoded, decoded + 3 - pads);
        if (pads > 0) break;  // a padded group is the last one decoded
        group = 0;
        groupSize = 0;
    }
    return bytes;
}

}  // namespace quillmark
