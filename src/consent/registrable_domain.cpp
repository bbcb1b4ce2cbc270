#include "consent/registrable_domain.h"

#include <libpsl.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>

#include "consent/origin_host.h"

namespace quillmark {
namespace {

struct PslFree {
    void operator()(psl_ctx_t* context) const { psl_free(context); }
};

// The system's list (Debian's publicsuffix package), else the one built into libpsl; loaded
// once, and only read after that, which libpsl allows from any thread.
const psl_ctx_t* suffixList() {
    static const std::unique_ptr<psl_ctx_t, PslFree> list(psl_latest(nullptr));
    return list.get();
}

// A dotted IPv4 address has no domain: the list would take its last two numbers for one.
bool isAddress(const std::string& host) {
    return std::all_of(host.begin(), host.end(),
                       [](unsigned char c) { return std::isdigit(c) || c == '.'; });
}

// Where the registrable domain starts in the (lowercase) host; 0 for the whole host.
std::size_t domainStart(const std::string& host) {
    const psl_ctx_t* list = suffixList();
    if (list == nullptr || isAddress(host)) return 0;
    const char* domain = psl_registrable_domain(list, host.c_str());
    return domain != nullptr ? static_cast<std::size_t>(domain - host.c_str()) : 0;
}

}  // namespace

std::optional<DomainBounds> domainBounds(const std::string& host) {
    const psl_ctx_t* list = suffixList();
    if (list == nullptr || isAddress(host)) return std::nullopt;
    const char* domain = psl_registrable_domain(list, host.c_str());
    if (domain == nullptr) return std::nullopt;
    // A registrable domain is one label above its public suffix.
    const auto start = static_cast<std::size_t>(domain - host.c_str());
    const std::size_t dot = host.find('.', start);
    if (dot == std::string::npos) return std::nullopt;
    return DomainBounds{start, dot + 1};
}

OriginParts splitAtRegistrableDomain(const std::string& origin) {
    const std::optional<HostSpan> span = originHost(origin);
    if (!span || span->length == 0) return {origin, {}, {}};
    const std::size_t start = span->start + domainStart(lowercaseHost(origin, *span));
    const std::size_t end = span->start + span->length;
    return {origin.substr(0, start), origin.substr(start, end - start), origin.substr(end)};
}

std::string registrableDomain(std::string_view origin) {
    const std::string text(origin);
    const std::optional<HostSpan> span = originHost(text);
    if (!span || span->length == 0) return text;
    std::string host = lowercaseHost(text, *span);
    // "site.example." names the same site as "site.example".
    if (host.size() > 1 && host.back() == '.') host.pop_back();
    return host.substr(domainStart(host));
}

}  // namespace quillmark
