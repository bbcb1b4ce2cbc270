#include "consent/unicode_origin.h"

#include <idn2.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace quillmark {
namespace {

constexpr char kSchemeEnd[] = "://";
constexpr char kAceLabelStart[] = ".xn--";

struct Idn2Free {
    void operator()(char* text) const { idn2_free(text); }
};

// True when a label of the host starts with "xn--", in any case.
bool hasAceLabel(const std::string& host) {
    std::string labels = "." + host;
    std::transform(labels.begin(), labels.end(), labels.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return labels.find(kAceLabelStart) != std::string::npos;
}

}  // namespace

std::string unicodeOrigin(const std::string& origin) {
    const std::size_t schemeEnd = origin.find(kSchemeEnd);
    if (schemeEnd == std::string::npos) return {};
    const std::size_t hostStart = schemeEnd + sizeof kSchemeEnd - 1;
    // An IPv6 address in brackets has no names; else the host ends at the port's colon.
    if (origin.compare(hostStart, 1, "[") == 0) return {};
    const std::size_t hostEnd = std::min(origin.find(':', hostStart), origin.size());
    const std::string host = origin.substr(hostStart, hostEnd - hostStart);
    if (!hasAceLabel(host)) return {};
    char* decoded = nullptr;
    if (idn2_to_unicode_8z8z(host.c_str(), &decoded, 0) != IDN2_OK) return {};
    const std::unique_ptr<char, Idn2Free> unicodeHost(decoded);
    if (host == unicodeHost.get()) return {};
    return origin.substr(0, hostStart) + unicodeHost.get() + origin.substr(hostEnd);
}

}  // namespace quillmark
