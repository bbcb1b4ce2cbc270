#include "shell/qt_unicode_origin.h"

#include <gtest/gtest.h>

using namespace quillmark;

// The origin's parts and the round trip are unicodeOrigin's (tested with libidn2); here, Qt's
// conversions: any top-level domain, and the names that must not be shown in Unicode.
TEST(QtUnicodeOrigin, DecodesAnyDomainButNotNamesThatWouldDisguiseTheSite) {
    EXPECT_EQ(qtUnicodeOrigin("https://sign.xn--bcher-kva.example:8443"),
              "https://sign.bücher.example:8443");
    EXPECT_EQ(qtUnicodeOrigin("https://xn--a.example"), "");
    EXPECT_EQ(qtUnicodeOrigin("https://xn--mocknab-276c.example"), "");
}
