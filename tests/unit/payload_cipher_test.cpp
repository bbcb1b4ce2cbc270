#include "support/payload_cipher.h"

#include <gtest/gtest.h>

using namespace quillmark;

TEST(PayloadCipher, PadsToTheNextWholeBlock) {
    EXPECT_EQ(encryptPayload(Bytes(0)).size(), 16u);
    EXPECT_EQ(encryptPayload(Bytes(15)).size(), 16u);
    EXPECT_EQ(encryptPayload(Bytes(16)).size(), 32u);
    EXPECT_EQ(encryptPayload(Bytes(17)).size(), 32u);
}

TEST(PayloadCipher, RoundTripsEveryLengthAroundABlock) {
    for (std::size_t length : {0, 1, 15, 16, 17, 20, 1000}) {
        Bytes plain(length);
        for (std::size_t i = 0; i < length; ++i)
            plain[i] = static_cast<std::uint8_t>(i * 7);
        EXPECT_EQ(decryptPayload(encryptPayload(plain)), plain) << length;
    }
}

TEST(PayloadCipher, IsDeterministicUnderTheFixedKeyAndIv) {
    const Bytes plain{1, 2, 3};
    EXPECT_EQ(encryptPayload(plain), encryptPayload(plain));
}

TEST(PayloadCipher, RejectsEmptyPartialAndBadlyPaddedCiphertexts) {
    EXPECT_FALSE(decryptPayload(Bytes{}));
    EXPECT_FALSE(decryptPayload(Bytes(15, 1)));
    Bytes tampered = encryptPayload(Bytes(5, 9));
    tampered.back() ^= 0x5a;
    EXPECT_FALSE(decryptPayload(tampered));
}

TEST(PayloadCipher, AnEmptyPlaintextIsAResultNotAFailure) {
    const auto plain = decryptPayload(encryptPayload(Bytes{}));
    ASSERT_TRUE(plain);
    EXPECT_TRUE(plain->empty());
}
