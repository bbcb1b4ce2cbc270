#include "consent/lookalike_site.h"

#include "consent/origin_host.h"
#include "consent/registrable_domain.h"
#include "consent/unicode_origin.h"

namespace quillmark {
namespace {

// A host name in the one form names are compared in: lowercase ASCII, without a final dot.
struct ComparedHost {
    std::string name;
    DomainBounds bounds;
};

std::optional<ComparedHost> comparedHost(const std::string& origin) {
    const std::optional<HostSpan> span = originHost(origin);
    if (!span || span->length == 0) return std::nullopt;
    std::string host = asciiHostName(lowercaseHost(origin, *span));
    if (host.size() > 1 && host.back() == '.') host.pop_back();
    const std::optional<DomainBounds> bounds = domainBounds(host);
    if (!bounds) return std::nullopt;
    return ComparedHost{std::move(host), *bounds};
}

bool isWordBreak(char c) {
    return c == '.' || c == '-';
}

// Whether the name stands at `at` in the host as whole words: it starts and ends at the host's
// ends or at a '.' or '-', and its own '.' and '-' may be either there.
bool standsAt(const std::string& host, std::size_t at, const std::string& name) {
    const std::size_t end = at + name.size();
    if ((at > 0 && !isWordBreak(host[at - 1])) || (end < host.size() && !isWordBreak(host[end])))
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char mine = host[at + i];
        if (mine != name[i] && !(isWordBreak(mine) && isWordBreak(name[i]))) return false;
    }
    return true;
}

// Whether the host carries the name as whole words that end before its public suffix.
bool carries(const ComparedHost& host, const std::string& name) {
    for (std::size_t at = 0; at + name.size() < host.bounds.suffix; ++at) {
        if (standsAt(host.name, at, name)) return true;
    }
    return false;
}

// Whether the host is the domain or one of its subdomains.
bool within(const std::string& host, const std::string& domain) {
    return host.size() >= domain.size() &&
           host.compare(host.size() - domain.size(), domain.size(), domain) == 0 &&
           (host.size() == domain.size() || host[host.size() - domain.size() - 1] == '.');
}

}  // namespace

std::optional<Lookalike> imitatedSite(const std::string& origin,
                                      const std::vector<std::string>& allowedOrigins) {
    const std::optional<ComparedHost> host = comparedHost(origin);
    if (!host) return std::nullopt;
    std::string imitated;
    for (const std::string& allowed : allowedOrigins) {
        const std::optional<ComparedHost> site = comparedHost(allowed);
        if (!site) continue;
        const std::string domain = site->name.substr(site->bounds.domain);
        if (within(host->name, domain)) continue;
        for (const std::string& name : {site->name, domain}) {
            if (name.size() > imitated.size() && carries(*host, name)) imitated = name;
        }
    }
    if (imitated.empty()) return std::nullopt;
    return Lookalike{unicodeHostName(imitated), host->name.substr(host->bounds.domain)};
}

}  // namespace quillmark
