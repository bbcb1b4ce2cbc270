#include "consent/unicode_origin.h"

#include <idn2.h>

#include <algorithm>
#include <memory>

#include "consent/origin_host.h"

namespace quillmark {
namespace {

constexpr char kAceLabelStart[] = ".xn--";

struct Idn2Free {
    void operator()(char* text) const { idn2_free(text); }
};

using Idn2Text = std::unique_ptr<char, Idn2Free>;

// True when a label of the (lowercase) host starts with "xn--".
bool hasAceLabel(const std::string& host) {
    return ("." + host).find(kAceLabelStart) != std::string::npos;
}

std::string idnaToUnicode(const std::string& host) {
    char* decoded = nullptr;
    if (idn2_to_unicode_8z8z(host.c_str(), &decoded, 0) != IDN2_OK) return {};
    return Idn2Text(decoded).get();
}

std::string idnaToAscii(const std::string& host) {
    char* encoded = nullptr;
    if (idn2_to_ascii_8z(host.c_str(), &encoded, IDN2_NONTRANSITIONAL) != IDN2_OK) return {};
    return Idn2Text(encoded).get();
}

// The host in Unicode, when its labels decode to a name that encodes back to the same host.
// Labels that decode to anything else (control characters, reordering marks) would let a site
// show itself under another name.
std::string unicodeHost(const std::string& host, const HostNameCodec& codec) {
    const std::string unicode = codec.toUnicode(host);
    if (unicode.empty() || unicode == host || codec.toAscii(unicode) != host) return {};
    return unicode;
}

}  // namespace

std::string unicodeOrigin(const std::string& origin, const HostNameCodec& codec) {
    const std::optional<HostSpan> span = originHost(origin);
    if (!span) return {};
    const std::string host = lowercaseHost(origin, *span);
    if (!hasAceLabel(host)) return {};
    const std::string unicode = unicodeHost(host, codec);
    if (unicode.empty()) return {};
    return origin.substr(0, span->start) + unicode + origin.substr(span->start + span->length);
}

std::string unicodeOrigin(const std::string& origin) {
    return unicodeOrigin(origin, HostNameCodec{idnaToUnicode, idnaToAscii});
}

std::string unicodeHostName(const std::string& asciiHost) {
    if (!hasAceLabel(asciiHost)) return asciiHost;
    const std::string unicode = unicodeHost(asciiHost, HostNameCodec{idnaToUnicode, idnaToAscii});
    return unicode.empty() ? asciiHost : unicode;
}

std::string asciiHostName(const std::string& host) {
    const bool ascii =
        std::all_of(host.begin(), host.end(), [](unsigned char c) { return c < 0x80; });
    if (ascii) return host;
    const std::string encoded = idnaToAscii(host);
    return encoded.empty() ? host : encoded;
}

}  // namespace quillmark
