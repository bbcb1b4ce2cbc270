#include "support/base64.h"

#include <array>
#include <climits>

namespace quillmark {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kPad = 64;
constexpr std::uint8_t kInvalid = 0xff;

// The value of each alphabet character, kPad for "=", kInvalid for the rest.
constexpr std::array<std::uint8_t, 256> makeReverseTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table)
        entry = kInvalid;
    for (int value = 0; value < 64; ++value) {
        table[static_cast<unsigned char>(kAlphabet[value])] = static_cast<std::uint8_t>(value);
    }
    table['='] = kPad;
    return table;
}

constexpr std::array<std::uint8_t, 256> kReverse = makeReverseTable();

std::uint8_t valueOf(char c) {
    return kReverse[static_cast<unsigned char>(c)];
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

std::optional<std::size_t> base64DecodeInto(std::string_view text, std::uint8_t* out) {
    const std::size_t length = text.size();
    std::size_t written = 0;
    std::size_t validCount = 0;
    std::uint32_t group = 0;
    int groupSize = 0;
    int pads = 0;
    bool ended = false;  // a padded group is the last one
    for (std::size_t i = 0; i < length; ++i) {
        // Whole groups of four alphabet characters, the bulk of any real text, at once.
        if (groupSize == 0 && !ended && i + 4 <= length) {
            const std::uint32_t a = valueOf(text[i]), b = valueOf(text[i + 1]),
                                c = valueOf(text[i + 2]), d = valueOf(text[i + 3]);
            if ((a | b | c | d) < kPad) {
                const std::uint32_t bits = a << 18 | b << 12 | c << 6 | d;
                out[written] = static_cast<std::uint8_t>(bits >> 16);
                out[written + 1] = static_cast<std::uint8_t>(bits >> 8);
                out[written + 2] = static_cast<std::uint8_t>(bits);
                written += 3;
                validCount += 4;
                i += 3;
                continue;
            }
        }
        const std::uint8_t value = valueOf(text[i]);
        if (value == kInvalid) continue;
        ++validCount;
        // Data after the padding would be left out of what is decoded: the text is not Base64.
        if (ended || (value != kPad && pads > 0)) return std::nullopt;
        pads += value == kPad;
        group = group << 6 | (value == kPad ? 0u : value);
        if (++groupSize < 4) continue;

        if (pads >= 3) return std::nullopt;
        const std::uint8_t decoded[3] = {static_cast<std::uint8_t>(group >> 16),
                                         static_cast<std::uint8_t>(group >> 8),
                                         static_cast<std::uint8_t>(group)};
        for (int k = 0; k < 3 - pads; ++k)
            out[written++] = decoded[k];
        ended = pads > 0;
        group = 0;
        groupSize = 0;
    }
    if (validCount == 0 || validCount % 4 != 0) return std::nullopt;
    return written;
}

OptionalBytes base64Decode(std::string_view text) {
    Bytes bytes(text.size() / 4 * 3);
    const auto count = base64DecodeInto(text, bytes.data());
    if (!count) return std::nullopt;
    bytes.resize(*count);
    return bytes;
}

}  // namespace quillmark
