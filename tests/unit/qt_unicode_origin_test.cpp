#include "shell/qt_unicode_origin.h"

#include <gtest/gtest.h>

using namespace quillmark;

TEST(QtUnicodeOrigin, DecodesWhateverTheTopLevelDomainAndKeepsSchemeAndPort) {
    EXPECT_EQ(qtUnicodeOrigin("https://xn--bcher-kva.example"), "https://bücher.example");
    EXPECT_EQ(qtUnicodeOrigin("https://sign.XN--bcher-kva.example:8443"),
              "https://sign.bücher.example:8443");
}

TEST(QtUnicodeOrigin, NothingForPlainNamesAddressesAndNamesThatDoNotComeBack) {
    EXPECT_EQ(qtUnicodeOrigin("https://portal.example.vn"), "");
    EXPECT_EQ(qtUnicodeOrigin("http://[::1]:8080"), "");
    EXPECT_EQ(qtUnicodeOrigin("null"), "");
    // A control character, and a right-to-left override that would show the name reversed.
    EXPECT_EQ(qtUnicodeOrigin("https://xn--a.example"), "");
    EXPECT_EQ(qtUnicodeOrigin("https://xn--mocknab-276c.example"), "");
}
