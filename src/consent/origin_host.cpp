#include "consent/origin_host.h"

#include <algorithm>
#include <cctype>

namespace quillmark {
namespace {

constexpr char kSchemeEnd[] = "://";

}  // namespace

std::optional<HostSpan> originHost(const std::string& origin) {
    const std::size_t schemeEnd = origin.find(kSchemeEnd);
    if (schemeEnd == std::string::npos) return std::nullopt;
    const std::size_t start = schemeEnd + sizeof kSchemeEnd - 1;
    if (origin.compare(start, 1, "[") == 0) return std::nullopt;
    // The host ends at the port's colon, if any.
    const std::size_t end = std::min(origin.find(':', start), origin.size());
    return HostSpan{start, end - start};
}

std::string lowercaseHost(const std::string& origin, const HostSpan& span) {
    std::string host = origin.substr(span.start, span.length);
    std::transform(host.begin(), host.end(), host.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return host;
}

}  // namespace quillmark
