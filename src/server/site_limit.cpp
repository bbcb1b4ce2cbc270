#include "server/site_limit.h"

#include <map>
#include <string>

#include "support/log_file.h"

namespace quillmark {
namespace {

// Connections and their count by site. Only the server thread touches these.
std::map<const lws*, std::string> siteOfConnection;
std::map<std::string, int, std::less<>> connectionsOfSite;

}  // namespace

void releaseConnectionOfSite(const lws* wsi) {
    const auto found = siteOfConnection.find(wsi);
    if (found == siteOfConnection.end()) return;
    if (--connectionsOfSite[found->second] <= 0) connectionsOfSite.erase(found->second);
    siteOfConnection.erase(found);
}

bool admitConnectionOfSite(const lws* wsi, std::string_view origin) {
    const auto counted = siteOfConnection.find(wsi);
    if (counted != siteOfConnection.end() && counted->second == origin) return true;
    releaseConnectionOfSite(wsi);
    if (origin.empty()) return true;

    const auto count = connectionsOfSite.find(origin);
    if (count != connectionsOfSite.end() && count->second >= kMaxConnectionsPerSite) {
        writeLog("Connection refused: " + std::string(origin) + " already holds " +
                 intToDecimal(kMaxConnectionsPerSite) + " connections");
        return false;
    }
    siteOfConnection.emplace(wsi, origin);
    ++connectionsOfSite[std::string(origin)];
    return true;
}

}  // namespace quillmark
