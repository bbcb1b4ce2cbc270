#include "consent/unicode_origin.h"

#include <gtest/gtest.h>

using namespace quillmark;

TEST(UnicodeOrigin, DecodesInternationalisedLabelsAndKeepsSchemeAndPort) {
    EXPECT_EQ(unicodeOrigin("https://xn--bcher-kva.example"), "https://bücher.example");
    EXPECT_EQ(unicodeOrigin("https://sign.XN--bcher-kva.example:8443"),
              "https://sign.bücher.example:8443");
}

TEST(UnicodeOrigin, NothingForPlainNamesAddressesAndBrokenLabels) {
    EXPECT_EQ(unicodeOrigin("https://portal.example.vn"), "");
    EXPECT_EQ(unicodeOrigin("http://[::1]:8080"), "");
    EXPECT_EQ(unicodeOrigin("null"), "");
    // A control character, and a right-to-left override that would show the name reversed.
    EXPECT_EQ(unicodeOrigin("https://xn--a.example"), "");
    EXPECT_EQ(unicodeOrigin("https://xn--mocknab-276c.example"), "");
}
