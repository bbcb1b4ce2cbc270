#include <gtest/gtest.h>

#include "support/base64.h"
#include "support/hex.h"
#include "support/utf8_cut.h"

using namespace quillmark;

namespace {

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

}  // namespace

TEST(Base64Encode, PadsPartialGroupsAndEncodesEmptyInput) {
    EXPECT_EQ(base64Encode(bytesOf("M")), "TQ==");
    EXPECT_EQ(base64Encode(bytesOf("Ma")), "TWE=");
    EXPECT_EQ(base64Encode(bytesOf("Man")), "TWFu");
    EXPECT_EQ(base64Encode(Bytes{}), "");
    EXPECT_EQ(base64Encode(Bytes{0xfb, 0xff, 0xbf}), "+/+/");
}

TEST(Base64Encode, WritesNoLineBreaks) {
    const auto text = base64Encode(Bytes(60, 0xa5));
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), 80u);
    EXPECT_EQ(text->find_first_of("\r\n"), std::string::npos);
}

TEST(Base64Decode, RoundTripsAndIgnoresCharactersOutsideTheAlphabet) {
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);
    EXPECT_EQ(base64Decode(*base64Encode(all)), all);
    EXPECT_EQ(base64Decode("TW\r\nFu IA==\n"), bytesOf("Man "));
    EXPECT_EQ(base64Decode("TQ=="), bytesOf("M"));
}

TEST(Base64Decode, RejectsCountsThatAreNotWholeGroups) {
    EXPECT_FALSE(base64Decode(""));
    EXPECT_FALSE(base64Decode("!!!\r\n"));
    EXPECT_FALSE(base64Decode("TWF"));
    // A padded group followed by three more characters: seven in all.
    EXPECT_FALSE(base64Decode("TQ==TWF"));
}

TEST(Base64Decode, EndsAtThePaddedGroup) {
    // What follows the padding outside the alphabet is skipped, as a request's closing quote
    // and brace may be.
    EXPECT_EQ(base64Decode("TQ==\"}"), bytesOf("M"));
    // Alphabet characters or pads after it would be left out: no result.
    EXPECT_FALSE(base64Decode("YQ==YQ=="));
    EXPECT_FALSE(base64Decode("TQ==TWFu"));
    EXPECT_FALSE(base64Decode("TWE=\"}TQ=="));
    EXPECT_FALSE(base64Decode("T=Fu"));
    EXPECT_FALSE(base64Decode("TQ======"));
}

TEST(Base64Decode, RejectsThreeOrFourPadsInAGroup) {
    EXPECT_FALSE(base64Decode("T==="));
    EXPECT_FALSE(base64Decode("===="));
}

TEST(BytesToHex, WritesLowercasePairsAndRejectsEmptyInput) {
    EXPECT_EQ(bytesToHex(Bytes{0x00, 0xab, 0x0f}), "00ab0f");
    EXPECT_FALSE(bytesToHex(Bytes{}));
}

TEST(HexToBytes, AcceptsEitherCaseAndOddLengths) {
    EXPECT_EQ(hexToBytes("abc"), (Bytes{0x0a, 0xbc}));
    EXPECT_EQ(hexToBytes("0A1b"), (Bytes{0x0a, 0x1b}));
    EXPECT_EQ(hexToBytes(""), Bytes{});
}

TEST(HexToBytes, RejectsAnyCharacterThatIsNotAHexDigit) {
    for (const char* text : {"1g", "1g2h", "0x", "zz", "z", "00 1", "x0", "abc\n"})
        EXPECT_FALSE(hexToBytes(text)) << text;
    EXPECT_FALSE(hexToBytes(std::string_view("0a\0b", 4)));
}

TEST(Utf8Cut, NeverSplitsACharacterAndStopsThreeBytesBackInStrayBytes) {
    const std::string text =
        "ab\xE1\xBA\xBF"
        "cd";  // "abế" + "cd": ế takes three bytes
    EXPECT_EQ(utf8CutLength(text, 10), text.size());
    EXPECT_EQ(utf8CutLength(text, 5), 5u);
    EXPECT_EQ(utf8CutLength(text, 4), 2u);
    EXPECT_EQ(utf8CutLength(text, 3), 2u);
    EXPECT_EQ(utf8CutLength(std::string(8, '\x80'), 6), 3u);
}
