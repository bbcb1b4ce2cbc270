#include <gtest/gtest.h>

#include "dialogs/assuan_client.h"
#include "dialogs/consent_prompt_texts.h"

using namespace quillmark;

namespace {

constexpr char kAsks[] =
    "Trang web https://portal.example.vn.attacker.test muốn dùng chứng thư số của bạn: xem "
    "danh sách và ký số.\n";
constexpr char kLookalike[] =
    "⚠ Cảnh báo: địa chỉ này có chứa “portal.example.vn” nhưng thực ra thuộc về trang "
    "“attacker.test”.\n";
constexpr char kNoPassword[] =
    "Lưu ý: kho chứng thư số của bạn chưa có mật khẩu, nên một khi bạn cho phép, trang "
    "này có thể ký số bằng các chứng thư trong kho mà không cần hỏi lại bạn.\n";
constexpr char kNote[] =
    "Chỉ cho phép nếu bạn tin trang web này: trang được phép sẽ không phải hỏi lại.";

ConsentPromptContext context(std::optional<Lookalike> lookalike, bool storeWithoutPassword) {
    return {"https://portal.example.vn.attacker.test", "", std::move(lookalike),
            storeWithoutPassword};
}

}  // namespace

TEST(ConsentDescription, EachWarningOnALineOfItsOwnBeforeWhatAllowingMeans) {
    const Lookalike portal{"portal.example.vn", "attacker.test"};
    EXPECT_EQ(consentDescription(context(portal, true)),
              std::string(kAsks) + kLookalike + kNoPassword + kNote);
    EXPECT_EQ(consentDescription(context(portal, false)), std::string(kAsks) + kLookalike + kNote);
    EXPECT_EQ(consentDescription(context(std::nullopt, true)),
              std::string(kAsks) + kNoPassword + kNote);
    EXPECT_EQ(consentDescription(context(std::nullopt, false)), std::string(kAsks) + kNote);
    // A page without an address is warned of the store all the same.
    const ConsentPromptLines lines = consentPromptLines({"null", "", std::nullopt, true});
    EXPECT_FALSE(lines.showsSite);
    EXPECT_EQ(lines.lookalikeWarning, "");
    EXPECT_EQ(lines.noPasswordWarning + "\n", kNoPassword);
}

TEST(ConsentDescription, ThePagesDomainCannotReshapeTheWarning) {
    const Lookalike lookalike{"bücher.example", "attacker\n.t\xc3\xa9st"};
    EXPECT_EQ(consentPromptLines(context(lookalike, false)).lookalikeWarning,
              "⚠ Cảnh báo: địa chỉ này có chứa “bücher.example” nhưng thực ra thuộc về trang "
              "“attacker .t??st”.");
}

TEST(ConsentDescription, TheLongestStaysWithinAnAssuanLine) {
    // The longest origin the gate asks of, in both forms, with names as long as DNS allows.
    const std::string host = "xn--bcher-kva." + std::string(264, 'a') + ".example";
    const std::string unicodeHost = "bücher." + std::string(264, 'a') + ".example";
    const Lookalike lookalike{std::string(200, 'b') + ".example.vn",
                              std::string(63, 'c') + ".example"};
    const std::string description = consentDescription(
        {"https://" + host + ":65535", "https://" + unicodeHost + ":65535", lookalike, true});
    EXPECT_LE(("SETDESC " + escapeAssuanParameter(description)).size(), 1000u);
    EXPECT_NE(description.find("“" + std::string(40, 'b') + "…”"), std::string::npos);
    EXPECT_NE(description.find("“" + std::string(40, 'c') + "…”"), std::string::npos);
}
