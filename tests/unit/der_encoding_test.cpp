#include "support/der_encoding.h"

#include <gtest/gtest.h>

using namespace quillmark;

TEST(DerEncoding, MakesIndefiniteLengthsDefinite) {
    // SEQUENCE (indefinite) { INTEGER 5, SEQUENCE (indefinite) { NULL } }
    const Bytes ber = {0x30, 0x80, 0x02, 0x01, 0x05, 0x30, 0x80,
                       0x05, 0x00, 0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(berToDer(ber), (Bytes{0x30, 0x07, 0x02, 0x01, 0x05, 0x30, 0x02, 0x05, 0x00}));
}

TEST(DerEncoding, JoinsConstructedOctetStrings) {
    // [0] (indefinite) { OCTET STRING (constructed, indefinite) { "ab", { "c" } } }
    const Bytes ber = {0xa0, 0x80, 0x24, 0x80, 0x04, 0x02, 'a',  'b', 0x24,
                       0x03, 0x04, 0x01, 'c',  0x00, 0x00, 0x00, 0x00};
    EXPECT_EQ(berToDer(ber), (Bytes{0xa0, 0x05, 0x04, 0x03, 'a', 'b', 'c'}));
}

TEST(DerEncoding, UsesMinimalLongLengthsAndSortsSets) {
    Bytes ber = {0x31, 0x80, 0x04, 0x82, 0x00, 0x02, 'z', 'z', 0x04, 0x01, 'a', 0x00, 0x00};
    EXPECT_EQ(berToDer(ber), (Bytes{0x31, 0x07, 0x04, 0x01, 'a', 0x04, 0x02, 'z', 'z'}));

    Bytes big = {0x04, 0x81, 200};
    big.resize(big.size() + 200, 0x11);
    const auto der = berToDer(big);
    ASSERT_TRUE(der);
    EXPECT_EQ(*der, big);  // already DER: unchanged
}

TEST(DerEncoding, RejectsMalformedInput) {
    for (const Bytes& ber : {
             Bytes{}, Bytes{0x30}, Bytes{0x30, 0x80, 0x05, 0x00},  // no end-of-contents
             Bytes{0x04, 0x80, 0x00, 0x00},                        // indefinite primitive
             Bytes{0x30, 0x03, 0x05, 0x00},                        // length past the end
             Bytes{0x05, 0x00, 0x05},                              // trailing bytes
             Bytes{0x24, 0x03, 0x02, 0x01, 0x00},              // an INTEGER inside an OCTET STRING
             Bytes{0x04, 0x85, 0x01, 0x00, 0x00, 0x00, 0x00},  // length of five digits
         }) {
        EXPECT_FALSE(berToDer(ber)) << ::testing::PrintToString(ber);
    }
    Bytes deep;
    for (int i = 0; i < 40; ++i) {
        deep.push_back(0x30);
        deep.push_back(0x80);
    }
    deep.resize(deep.size() + 80, 0x00);
    EXPECT_FALSE(berToDer(deep));
}

TEST(DerEncoding, CopiesTheMembersOfVerbatimPathsAsTheyStand) {
    // SEQUENCE (indefinite) { [0] (indefinite) { SET with a long-form length, unsorted },
    //                         SET (indefinite), unsorted }
    const Bytes ber = {0x30, 0x80, 0xa0, 0x80, 0x31, 0x81, 0x06, 0x04, 0x01,
                       'z',  0x04, 0x01, 'a',  0x00, 0x00, 0x31, 0x80, 0x04,
                       0x01, 'z',  0x04, 0x01, 'a',  0x00, 0x00, 0x00, 0x00};
    const Bytes der = {0x30, 0x13, 0xa0, 0x09, 0x31, 0x81, 0x06, 0x04, 0x01, 'z', 0x04,
                       0x01, 'a',  0x31, 0x06, 0x04, 0x01, 'a',  0x04, 0x01, 'z'};
    EXPECT_EQ(berToDer(ber, {{0x30, 0xa0}}), der);
    // A member to copy must have a definite length.
    EXPECT_FALSE(berToDer(Bytes{0x30, 0x80, 0x30, 0x80, 0x00, 0x00, 0x00, 0x00}, {{0x30}}));
}
