// The texts of the dialog that asks whether a site may use the user's certificates, in one
// place for whoever translates them.
#include "dialogs/consent_prompt_texts.h"

#include <cstddef>

#include "dialogs/shown_text.h"
#include "support/utf8_cut.h"

namespace quillmark {

const char kConsentAllow[] = "Cho phép";
const char kConsentDeny[] = "Từ chối";
const char kConsentClose[] = "Đóng";

namespace {

constexpr char kSite[] = "Trang web";
constexpr char kPageWithoutAddress[] =
    "Một trang web không có địa chỉ (khung bị cô lập hoặc tệp trên máy)";
// One Allow lets the site both list the certificates and sign with them: the dialog says both,
// whichever request brought it.
constexpr char kAsksToUse[] = "muốn dùng chứng thư số của bạn: xem danh sách và ký số.";
constexpr char kAllowRemembered[] =
    "Chỉ cho phép nếu bạn tin trang web này: trang được phép sẽ không phải hỏi lại.";
constexpr char kAskedEachTime[] =
    "Chỉ cho phép nếu bạn tin trang này: trang không có địa chỉ sẽ được hỏi lại mỗi lần.";
// Around the allowed site's name that the host carries, and the domain the host belongs to,
// each cut to kNameLimit bytes and kCut.
constexpr std::size_t kNameLimit = 40;
constexpr char kCut[] = "…";
constexpr char kLookalikeStart[] = "⚠ Cảnh báo: địa chỉ này có chứa “";
constexpr char kLookalikeMiddle[] = "” nhưng thực ra thuộc về trang “";
constexpr char kLookalikeEnd[] = "”.";
constexpr char kNoPassword[] =
    "Lưu ý: kho chứng thư số của bạn chưa có mật khẩu, nên một khi bạn cho phép, trang "
    "này có thể ký số bằng các chứng thư trong kho mà không cần hỏi lại bạn.";

// A page sent from a sandboxed frame or a local file has the origin "null": there is no site
// to remember, so such a page is asked each time.
bool withoutAddress(const ConsentPromptContext& context) {
    return context.origin == "null";
}

// The site: its origin, and the Unicode form of its host first when it has one.
std::string siteText(const ConsentPromptContext& context) {
    const std::string origin = shownText(context.origin, true);
    if (context.unicodeOrigin.empty()) return origin;
    return shownText(context.unicodeOrigin, false) + " (" + origin + ")";
}

// A name in the warning, cut shorter than other texts (the origin above shows it whole), so
// that the longest description, a long origin shown in both forms with both warnings, stays
// within an Assuan line.
std::string shownName(const std::string& name, bool asciiOnly) {
    const std::string shown = shownText(name, asciiOnly);
    if (shown.size() <= kNameLimit) return shown;
    return shown.substr(0, utf8CutLength(shown, kNameLimit)) + kCut;
}

// The allowed name as the user knows it, and the owner's domain in ASCII as its origin is
// shown: it comes from the page.
std::string lookalikeWarning(const ConsentPromptContext& context) {
    if (!context.lookalike) return {};
    return kLookalikeStart + shownName(context.lookalike->imitated, false) + kLookalikeMiddle +
           shownName(context.lookalike->owner, true) + kLookalikeEnd;
}

}  // namespace

ConsentPromptLines consentPromptLines(const ConsentPromptContext& context) {
    const bool noAddress = withoutAddress(context);
    return {!noAddress,
            noAddress ? kPageWithoutAddress : kSite,
            kAsksToUse,
            lookalikeWarning(context),
            context.storeWithoutPassword ? kNoPassword : "",
            noAddress ? kAskedEachTime : kAllowRemembered};
}

std::string consentDescription(const ConsentPromptContext& context) {
    const ConsentPromptLines lines = consentPromptLines(context);
    const std::string site = lines.showsSite ? " " + siteText(context) : "";
    std::string description = lines.lead + site + " " + lines.request + "\n";
    for (const std::string& warning : {lines.lookalikeWarning, lines.noPasswordWarning}) {
        if (!warning.empty()) description += warning + "\n";
    }
    return description + lines.note;
}

}  // namespace quillmark
