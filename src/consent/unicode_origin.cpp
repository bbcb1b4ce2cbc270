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

using Idn2Text = std::unique_ptr<char, Idn2Free>;

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// True when a label of the (lowercase) host starts with "xn--".
bool hasAceLabel(const std::string& host) {
    return ("." + host).find(kAceLabelStart) != std::string::npos;
}

// The host in Unicode, when its labels decode to a name IDNA 2008 allows: one that encodes back
// to the same host. Labels that decode to anything else (control characters, reordering marks)
// would let a site show itself under another name.
std::string unicodeHost(const std::string& host) {
    char* decoded = nullptr;
    if (idn2_to_unicode_8z8z(host.c_str(), &decoded, 0) != IDN2_OK) return {};
    const Idn2Text unicode(decoded);
    char* encoded = nullptr;
    if (idn2_to_ascii_8z(unicode.get(), &encoded, IDN2_NONTRANSITIONAL) != IDN2_OK) return {};
    const Idn2Text ascii(encoded);
    return ascii.get() == host ? std::string(unicode.get()) : std::string();
}

}  // namespace

std::string unicodeOrigin(const std::string& origin) {
    const std::size_t schemeEnd = origin.find(kSchemeEnd);
    if (schemeEnd == std::string::npos) return {};
    const std::size_t hostStart = schemeEnd + sizeof kSchemeEnd - 1;
    // An IPv6 address in brackets has no names; else the host ends at the port's colon.
    if (origin.compare(hostStart, 1, "[") == 0) return {};
    const std::size_t hostEnd = std::min(origin.find(':', hostStart), origin.size());
    const std::string host = lowercase(origin.substr(hostStart, hostEnd - hostStart));
    if (!hasAceLabel(host)) return {};
    const std::string unicode = unicodeHost(host);
    if (unicode.empty() || unicode == host) return {};
    return origin.substr(0, hostStart) + unicode + origin.substr(hostEnd);
}

}  // namespace quillmark
