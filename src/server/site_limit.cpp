#include "server/site_limit.h"

#include <map>
#include <string>
#include <tuple>

#include "consent/consent_gate.h"
#include "consent/registrable_domain.h"
#include "server/idle_connections.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// Allowed sites and sites that are not count apart: a frame of a site not allowed never takes
// the share of an allowed page of the same domain.
struct Site {
    bool allowed;
    std::string domain;
    bool operator<(const Site& other) const {
        return std::tie(allowed, domain) < std::tie(other.allowed, other.domain);
    }
    bool operator==(const Site& other) const {
        return allowed == other.allowed && domain == other.domain;
    }
};

// Connections and their count by site. Only the server thread touches these.
std::map<lws*, Site> siteOfConnection;
std::map<Site, int> connectionsOfSite;

// Closes the site's longest-idle connection other than `wsi`; false when each one is busy.
bool closeIdlestOfSite(const Site& site, const lws* wsi) {
    IdlestConnection idlest;
    for (const auto& [connection, itsSite] : siteOfConnection) {
        if (connection != wsi && itsSite == site) idlest.consider(connection);
    }
    if (idlest.found() == nullptr) return false;
    releaseConnectionOfSite(idlest.found());
    closeSoon(idlest.found());
    return true;
}

}  // namespace

void releaseConnectionOfSite(const lws* wsi) {
    const auto found = siteOfConnection.find(const_cast<lws*>(wsi));
    if (found == siteOfConnection.end()) return;
    if (--connectionsOfSite[found->second] <= 0) connectionsOfSite.erase(found->second);
    siteOfConnection.erase(found);
}

bool connectionOfNotAllowedSite(const lws* wsi) {
    const auto found = siteOfConnection.find(const_cast<lws*>(wsi));
    return found != siteOfConnection.end() && !found->second.allowed;
}

bool admitConnectionOfSite(lws* wsi, std::string_view origin) {
    if (origin.empty()) {
        releaseConnectionOfSite(wsi);
        return true;
    }
    const Site site{siteAllowed(origin), registrableDomain(origin)};
    const auto counted = siteOfConnection.find(wsi);
    if (counted != siteOfConnection.end() && counted->second == site) return true;
    releaseConnectionOfSite(wsi);

    const int limit = site.allowed ? kMaxConnectionsPerSite : kMaxConnectionsPerNotAllowedSite;
    const auto count = connectionsOfSite.find(site);
    if (count != connectionsOfSite.end() && count->second >= limit &&
        (site.allowed || !closeIdlestOfSite(site, wsi))) {
        writeLog("Connection refused: " + site.domain + " already holds " + intToDecimal(limit) +
                 " connections");
        return false;
    }
    siteOfConnection.emplace(wsi, site);
    ++connectionsOfSite[site];
    return true;
}

}  // namespace quillmark
