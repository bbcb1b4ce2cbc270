#include "consent/lookalike_site.h"

#include <gtest/gtest.h>

using namespace quillmark;

namespace {

const std::vector<std::string> kPortal{"https://portal.example.vn"};

// What the host imitates, as "imitated | owner", or "" for nothing.
std::string imitated(const std::string& origin, const std::vector<std::string>& allowed = kPortal) {
    const std::optional<Lookalike> found = imitatedSite(origin, allowed);
    return found ? found->imitated + " | " + found->owner : "";
}

}  // namespace

TEST(LookalikeSite, AnAllowedHostOrItsDomainAsWholeLabelsOfAnotherDomain) {
    EXPECT_EQ(imitated("https://portal.example.vn.attacker.test"),
              "portal.example.vn | attacker.test");
    EXPECT_EQ(imitated("https://login.example.vn.attacker.test:8443"),
              "example.vn | attacker.test");
    EXPECT_EQ(imitated("https://example.vn.com"), "example.vn | vn.com");
    // Cases and a final dot change nothing.
    EXPECT_EQ(imitated("https://WWW.Portal.Example.VN.sign.attacker.co.uk."),
              "portal.example.vn | attacker.co.uk");
}

TEST(LookalikeSite, WordsJoinedByHyphensCountAsLabels) {
    EXPECT_EQ(imitated("https://portal-example-vn.attacker.test"),
              "portal.example.vn | attacker.test");
    EXPECT_EQ(imitated("https://example.vn-login.attacker.test"), "example.vn | attacker.test");
    EXPECT_EQ(imitated("https://secure-portal.example.vn.attacker.test"),
              "portal.example.vn | attacker.test");
    // In the registered name itself.
    EXPECT_EQ(imitated("https://example-vn.com"), "example.vn | example-vn.com");
    EXPECT_EQ(imitated("https://my-bank.vn.attacker.test", {"https://my-bank.vn"}),
              "my-bank.vn | attacker.test");
}

TEST(LookalikeSite, NothingWithinTheSitesOwnDomain) {
    for (const char* origin :
         {"https://portal.example.vn", "https://sub.portal.example.vn:8443",
          "https://other.example.vn", "https://example.vn", "https://PORTAL.example.vn.",
          "https://a.portal.example.vn.example.vn"})
        EXPECT_EQ(imitated(origin), "") << origin;
}

TEST(LookalikeSite, NothingForNamesThatAreNotWholeWordsOrEndInTheHostsSuffix) {
    for (const char* origin :
         {"https://attacker.test", "https://examplevn.attacker.test",
          "https://myexample.vn.attacker.test", "https://example.vnx.attacker.test",
          "https://portal.example.vnattacker.test", "https://example--vn.attacker.test",
          // The allowed name runs into the host's public suffix: a name of its own.
          "https://portal-example.vn", "https://abc-example.vn"})
        EXPECT_EQ(imitated(origin), "") << origin;
    EXPECT_EQ(imitated("https://example.com.vn", {"https://example.com"}), "");
    EXPECT_EQ(imitated("https://food-bank.com.au", {"https://bank.com"}), "");
}

TEST(LookalikeSite, NamesTooCommonToTellAndOriginsWithoutANameImitateNothing) {
    // A single label, an address, a public suffix: no name of a site of its own.
    const std::vector<std::string> allowed{"http://localhost:8480", "http://127.0.0.1:8480",
                                           "https://gov.vn", "null", "http://[::1]:8080"};
    for (const char* origin : {"https://localhost.attacker.test", "https://127.0.0.1.attacker.test",
                               "https://portal.gov.vn", "https://gov.vn.attacker.test"})
        EXPECT_EQ(imitated(origin, allowed), "") << origin;
    for (const char* origin : {"null", "http://[::1]:8080", "http://127.0.0.1", "https://vn"})
        EXPECT_EQ(imitated(origin), "") << origin;
    EXPECT_EQ(imitated("https://portal.example.vn.attacker.test", {}), "");
}

TEST(LookalikeSite, TheLongestNameCarriedWinsWhateverTheListsOrder) {
    const std::vector<std::string> sites{"https://example.vn", "https://sign.agency.gov.vn",
                                         "https://portal.example.vn:8443"};
    EXPECT_EQ(imitated("https://portal.example.vn.attacker.test", sites),
              "portal.example.vn | attacker.test");
    EXPECT_EQ(imitated("https://portal.example.vn.attacker.test", {sites.rbegin(), sites.rend()}),
              "portal.example.vn | attacker.test");
    // A site of one allowed domain may still imitate another allowed site.
    EXPECT_EQ(imitated("https://agency.gov.vn.example.vn", sites), "agency.gov.vn | example.vn");
}

TEST(LookalikeSite, InternationalisedNamesCompareInAsciiAndShowInUnicode) {
    const std::string lookalike = "https://sign.xn--bcher-kva.example.attacker.test";
    EXPECT_EQ(imitated(lookalike, {"https://bücher.example"}), "bücher.example | attacker.test");
    EXPECT_EQ(imitated(lookalike, {"https://xn--bcher-kva.example"}),
              "bücher.example | attacker.test");
    EXPECT_EQ(imitated("https://sign.xn--bcher-kva.example", {"https://bücher.example"}), "");
    // The owner stays as the browser sent it.
    EXPECT_EQ(imitated("https://portal.example.vn.xn--bcher-kva.example"),
              "portal.example.vn | xn--bcher-kva.example");
}
