#include <gtest/gtest.h>
#include <pkcs11t.h>

#include <string>

#include "dialogs/pin_prompt_texts.h"

using namespace quillmark;

TEST(PinDescription, NamesTheSiteTheCertificateAndTheToken) {
    const PinPromptContext context{"https://cong.example.vn", "Nguyễn Văn An"};
    EXPECT_EQ(pinDescription(&context, "Token A", SecretKind::TokenPin, PinTries::NotReported),
              "Trang web https://cong.example.vn yêu cầu ký số bằng chứng thư “Nguyễn Văn An”.\n"
              "Nhập mã PIN của Token A nếu bạn đồng ý.");
}

TEST(PinDescription, WithoutContextALocalProgramAsks) {
    const std::string expected =
        "Một chương trình trên máy này yêu cầu ký số.\nNhập mã PIN của Token A nếu bạn đồng ý.";
    EXPECT_EQ(pinDescription(nullptr, "Token A", SecretKind::TokenPin, PinTries::NotReported),
              expected);
    const PinPromptContext empty;
    EXPECT_EQ(pinDescription(&empty, "Token A", SecretKind::TokenPin, PinTries::NotReported),
              expected);
}

TEST(PinDescription, TheOwnStoreAsksForItsPassword) {
    EXPECT_EQ(
        pinDescription(nullptr, "kho", SecretKind::StorePassword, PinTries::NotReported),
        "Một chương trình trên máy này yêu cầu ký số.\nNhập mật khẩu của kho nếu bạn đồng ý.");
    EXPECT_STREQ(pinDialogWords(SecretKind::StorePassword).prompt, "Mật khẩu:");
    EXPECT_STREQ(pinDialogWords(SecretKind::TokenPin).prompt, "Mã PIN:");
}

TEST(PinDescription, TellsTheTriesLeftTheTokenReports) {
    const std::string start =
        pinDescription(nullptr, "T", SecretKind::TokenPin, PinTries::NotReported) + "\n";
    EXPECT_EQ(
        pinDescription(nullptr, "T", SecretKind::TokenPin, pinTriesOf(CKF_USER_PIN_COUNT_LOW)),
        start + "Mã PIN đã bị nhập sai: chỉ còn ít lần thử trước khi mã PIN bị khoá.");
    EXPECT_EQ(pinDescription(nullptr, "T", SecretKind::TokenPin,
                             pinTriesOf(CKF_USER_PIN_COUNT_LOW | CKF_USER_PIN_FINAL_TRY)),
              start + "Đây là lần thử cuối cùng: nhập sai lần nữa, mã PIN sẽ bị khoá.");
    EXPECT_EQ(pinDescription(nullptr, "T", SecretKind::TokenPin,
                             pinTriesOf(CKF_USER_PIN_FINAL_TRY | CKF_USER_PIN_LOCKED)),
              start + "Mã PIN đã bị khoá.");
    EXPECT_EQ(pinTriesOf(CKF_LOGIN_REQUIRED | CKF_TOKEN_INITIALIZED), PinTries::NotReported);
}

TEST(PinDescription, APageCannotReshapeTheDialog) {
    // Line breaks and other control characters become spaces; an origin holds only ASCII.
    const PinPromptContext context{"https://a.vn\nNhap ma PIN\x7f\xc3\xa9", "An\r\nĐã xác minh\t"};
    EXPECT_EQ(pinDescription(&context, "T", SecretKind::TokenPin, PinTries::NotReported),
              "Trang web https://a.vn Nhap ma PIN ?? yêu cầu ký số bằng chứng thư “An  Đã xác "
              "minh ”.\nNhập mã PIN của T nếu bạn đồng ý.");
}

TEST(PinDescription, LongTextsAreCutOnACharacterBoundary) {
    std::string name;
    while (name.size() < 1000)
        name += "ế";  // three bytes each
    const PinPromptContext context{"https://" + std::string(1000, 'a') + ".vn", name};
    const std::string description =
        pinDescription(&context, "T", SecretKind::TokenPin, PinTries::Low);
    EXPECT_LT(description.size(), 600u);
    EXPECT_NE(description.find(std::string(10, 'a') + "…"), std::string::npos);
    EXPECT_NE(description.find("ếế…”"), std::string::npos);
}
