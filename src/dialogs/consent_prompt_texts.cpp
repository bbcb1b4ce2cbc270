// The texts of the dialog that asks whether a site may use the user's certificates, in one
// place for whoever translates them.
#include "dialogs/consent_prompt_texts.h"

#include "dialogs/shown_text.h"

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

}  // namespace

ConsentPromptLines consentPromptLines(const ConsentPromptContext& context) {
    const bool noAddress = withoutAddress(context);
    return {!noAddress, noAddress ? kPageWithoutAddress : kSite, kAsksToUse,
            noAddress ? kAskedEachTime : kAllowRemembered};
}

std::string consentDescription(const ConsentPromptContext& context) {
    const ConsentPromptLines lines = consentPromptLines(context);
    const std::string site = lines.showsSite ? " " + siteText(context) : "";
    return lines.lead + site + " " + lines.request + "\n" + lines.note;
}

}  // namespace quillmark
