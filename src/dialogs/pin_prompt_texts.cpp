// The texts of the PIN dialog, in one place for whoever translates them.
#include "dialogs/pin_prompt_texts.h"

#include "dialogs/shown_text.h"

namespace quillmark {

const char kPinDialogTitle[] = "Quillmark";
const char kOwnStoreName[] = "kho chứng thư số trên máy này";

namespace {

constexpr char kSite[] = "Trang web ";
constexpr char kLocalProgram[] = "Một chương trình trên máy này";
constexpr char kAsksToSign[] = " yêu cầu ký số";
constexpr char kWithCertificate[] = " bằng chứng thư “";
constexpr char kCertificateEnd[] = "”";
constexpr char kEnterPassword[] = "Nhập mật khẩu của ";
constexpr char kEnterPin[] = "Nhập mã PIN của ";
constexpr char kIfYouAgree[] = " nếu bạn đồng ý.";
constexpr char kOnTheReader[] = " trên bàn phím của đầu đọc thẻ";
constexpr char kTriesLow[] = "Mã PIN đã bị nhập sai: chỉ còn ít lần thử trước khi mã PIN bị khoá.";
constexpr char kFinalTry[] = "Đây là lần thử cuối cùng: nhập sai lần nữa, mã PIN sẽ bị khoá.";
constexpr char kLocked[] = "Mã PIN đã bị khoá.";

constexpr PinDialogWords kStorePasswordWords{"Quillmark: mật khẩu kho chứng thư số",
                                             "Mật khẩu:", "Ký số", "Huỷ",
                                             "Mật khẩu không đúng, hãy nhập lại."};
constexpr PinDialogWords kTokenPinWords{"Quillmark: mã PIN", "Mã PIN:", "Ký số", "Huỷ",
                                        "Mã PIN không đúng, hãy nhập lại."};
// No entry field: the one button cancels.
constexpr PinDialogWords kKeypadPinWords{"Quillmark: mã PIN trên đầu đọc thẻ", "", "", "Huỷ",
                                         "Mã PIN không đúng, hãy nhập lại trên đầu đọc thẻ."};

}  // namespace

PinDialogWords pinDialogWords(SecretKind kind) {
    switch (kind) {
        case SecretKind::StorePassword:
            return kStorePasswordWords;
        case SecretKind::KeypadPin:
            return kKeypadPinWords;
        case SecretKind::TokenPin:
            break;
    }
    return kTokenPinWords;
}

std::string pinDescription(const PinPromptContext* context, const std::string& tokenLabel,
                           SecretKind kind, PinTries tries) {
    const std::string origin = context ? shownText(context->origin, true) : std::string();
    const std::string name = context ? shownText(context->certificateName, false) : std::string();
    std::string description = origin.empty() ? kLocalProgram : kSite + origin;
    description += kAsksToSign;
    if (!name.empty()) description += kWithCertificate + name + kCertificateEnd;
    description += ".\n";
    description += kind == SecretKind::StorePassword ? kEnterPassword : kEnterPin;
    description += shownText(tokenLabel, false);
    if (kind == SecretKind::KeypadPin) description += kOnTheReader;
    description += kIfYouAgree;
    switch (tries) {
        case PinTries::Low:
            return description + "\n" + kTriesLow;
        case PinTries::FinalTry:
            return description + "\n" + kFinalTry;
        case PinTries::Locked:
            return description + "\n" + kLocked;
        case PinTries::NotReported:
            break;
    }
    return description;
}

}  // namespace quillmark
