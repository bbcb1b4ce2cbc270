#include "protocol/cert_requests.h"

#include <gtest/gtest.h>

#include "signing/cert_listing.h"
#include "support/json.h"

using namespace quillmark;

TEST(ExtractDataBase64Text, CutsBetweenTheMarkers) {
    EXPECT_EQ(extractDataBase64Text(R"({"dataBase64":"QUJD","cms":1})"), "QUJD");
    EXPECT_EQ(extractDataBase64Text(R"({"x":1,"dataBase64":"","cms":true})"), "");
    // Other members between the payload and cms become part of it, as raw text.
    EXPECT_EQ(extractDataBase64Text(R"({"dataBase64":"QUJD","other":"x","cms":1})"),
              R"(QUJD","other":"x)");
    // No JSON unescaping.
    EXPECT_EQ(extractDataBase64Text(R"({"dataBase64":"QU\/JD","cms":1})"), R"(QU\/JD)");
}

TEST(ExtractDataBase64Text, RunsToTheEndWithoutAnEndMarkerAfterTheStart) {
    EXPECT_EQ(extractDataBase64Text(R"({"dataBase64":"QUJD"})"), R"(QUJD"})");
    // cms before dataBase64: its first occurrence lies before the payload.
    EXPECT_EQ(extractDataBase64Text(R"({"a":"","cms":1,"dataBase64":"QUJD","cms":1})"),
              R"(QUJD","cms":1})");
    EXPECT_EQ(extractDataBase64Text(R"({"dataBase64" : "QUJD","cms":1})"), "");
    EXPECT_EQ(extractDataBase64Text(R"({"DATABASE64":"QUJD","cms":1})"), "");
    EXPECT_EQ(extractDataBase64Text(""), "");
}

TEST(FlagIsSet, FollowsTheIntegerValue) {
    const JsonPtr request(cJSON_Parse(
        R"({"t":true,"one":1,"half":0.5,"big":2.5,"minus":-1.5,"f":false,"s":"true",
            "n":null,"a":[1],"o":{"x":1},"zero":0})"));
    ASSERT_TRUE(request);
    for (const char* name : {"t", "one", "big", "minus"})
        EXPECT_TRUE(flagIsSet(cJSON_GetObjectItem(request.get(), name))) << name;
    for (const char* name : {"half", "f", "s", "n", "a", "o", "zero", "absent"})
        EXPECT_FALSE(flagIsSet(cJSON_GetObjectItem(request.get(), name))) << name;
}

TEST(FitDisplayName, KeepsShortNamesAndLeavesOutLongUtf8) {
    EXPECT_EQ(fitDisplayName(""), "");
    EXPECT_EQ(fitDisplayName("Nguyễn Văn Thành"), "Nguyễn Văn Thành");
    std::string vietnamese;
    for (int i = 0; i < 85; ++i)
        vietnamese += "ế";  // 3 bytes each: 255 bytes fit, 258 do not
    EXPECT_EQ(fitDisplayName(vietnamese), vietnamese);
    EXPECT_FALSE(fitDisplayName(vietnamese + "ế"));
}

TEST(FitDisplayName, CutsAt127Utf16Units) {
    const std::string ascii(200, 'a');
    EXPECT_EQ(fitDisplayName(ascii), std::string(127, 'a'));
    // A character outside the BMP takes two units and is not split.
    std::string emoji;
    for (int i = 0; i < 64; ++i)
        emoji += "\xF0\x9F\x98\x80";
    const auto fitted = fitDisplayName(emoji);
    ASSERT_TRUE(fitted);
    EXPECT_EQ(fitted->size(), 63u * 4);
}

// Sign requests that are answered, or dropped, before any certificate store is opened.
class SignRequestTest : public ::testing::Test {
  protected:
    static OptionalText sign(const char* text, Endpoint endpoint) {
        const JsonPtr request(cJSON_Parse(text));
        return handleSignRequest(request.get(), text, {endpoint});
    }
    static constexpr char kMissingData[] =
        "{\n\t\"action\":\t\"sign\",\n\t\"error\":\t\"missing data to sign\"\n}";
};

TEST_F(SignRequestTest, NoReplyWithoutSerialOrData) {
    for (const Endpoint endpoint : {Endpoint::Http, Endpoint::WebSocket}) {
        EXPECT_FALSE(sign(R"({"action":"sign","serialNumber":"01"})", endpoint));
        EXPECT_FALSE(sign(R"({"action":"sign","dataHex":"00"})", endpoint));
        EXPECT_FALSE(sign(R"({"action":"sign","serialNumber":1,"dataHex":"00"})", endpoint));
    }
}

TEST_F(SignRequestTest, WebSocketIsAlwaysSecure) {
    // 16 zero bytes do not decipher (bad padding): secure mode is on whatever `secure` says.
    const std::string zeros(32, '0');
    const std::string hexRequest =
        R"({"action":"sign","serialNumber":"01","dataHex":")" + zeros + R"(","secure":false})";
    EXPECT_EQ(sign(hexRequest.c_str(), Endpoint::WebSocket), kMissingData);
}

TEST_F(SignRequestTest, Base64MemberThatIsNotTextIsMissingData) {
    // The member is present, so dataHex is not used, but it gives the handler no data.
    EXPECT_EQ(sign(R"({"action":"sign","serialNumber":"01","dataBase64":12,"dataHex":"00"})",
                   Endpoint::Http),
              kMissingData);
}
