#include "consent/registrable_domain.h"

#include <gtest/gtest.h>

using namespace quillmark;

namespace {

std::string marked(const std::string& origin) {
    const OriginParts parts = splitAtRegistrableDomain(origin);
    return parts.before + "[" + parts.domain + "]" + parts.after;
}

}  // namespace

TEST(RegistrableDomain, SetsALookalikeApartFromTheSiteItImitates) {
    EXPECT_EQ(marked("https://portal.example.vn.attacker.example.com:8443"),
              "https://portal.example.vn.attacker.[example.com]:8443");
    EXPECT_EQ(marked("https://portal.example.vn"), "https://portal.[example.vn]");
    EXPECT_EQ(marked("https://sign.agency.gov.vn"), "https://sign.[agency.gov.vn]");
}

TEST(RegistrableDomain, InUnicodeAndAsciiAlike) {
    EXPECT_EQ(marked("https://ký.bücher.example"), "https://ký.[bücher.example]");
    EXPECT_EQ(marked("https://sign.xn--bcher-kva.example"), "https://sign.[xn--bcher-kva.example]");
}

TEST(RegistrableDomain, AHostWithoutOneIsWholeAndNoHostIsNone) {
    EXPECT_EQ(marked("http://127.0.0.1:8080"), "http://[127.0.0.1]:8080");
    EXPECT_EQ(marked("http://localhost"), "http://[localhost]");
    EXPECT_EQ(marked("http://[::1]:8080"), "http://[::1]:8080[]");
    EXPECT_EQ(marked("null"), "null[]");
}
