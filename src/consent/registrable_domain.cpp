#include "consent/registrable_domain.h"

#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace quillmark {
namespace {

using PslPtr = std::unique_ptr<psl_ctx_t, decltype(&psl_free)>;

// The newest list the system has (Debian's publicsuffix package), or the one built into the
// library; loaded once.
const psl_ctx_t* suffixList() {
    static const PslPtr list(psl_latest(nullptr), psl_free);
    return list ? list.get() : psl_builtin();
}

// The host of "scheme://host[:port]", lowercase, without a final dot; empty when there is none.
std::string hostOf(std::string_view origin) {
    const std::size_t start = origin.find("://");
    if (start == std::string_view::npos) return {};
    std::string_view host = origin.substr(start + 3);
    if (!host.empty() && host.front() == '[') {
        host = host.substr(0, host.find(']') + 1);  // an IPv6 address with its brackets
    } else {
        host = host.substr(0, host.find(':'));
    }
    if (!host.empty() && host.back() == '.') host.remove_suffix(1);
    std::string lower(host);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

std::string registrableDomain(std::string_view origin) {
    const std::string host = hostOf(origin);
    if (host.empty()) return std::string(origin);
    const psl_ctx_t* list = suffixList();
    const char* domain = list != nullptr ? psl_registrable_domain(list, host.c_str()) : nullptr;
    return domain != nullptr ? std::string(domain) : host;
}

}  // namespace quillmark
