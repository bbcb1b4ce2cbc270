#include "server/connection_counts.h"

#include <tuple>

namespace quillmark {
namespace {

template <typename Key>
void uncount(std::map<Key, int>& counts, const Key& key) {
    const auto found = counts.find(key);
    if (found != counts.end() && --found->second <= 0) counts.erase(found);
}

template <typename Key>
bool full(const std::map<Key, int>& counts, const Key& key, int limit) {
    const auto found = counts.find(key);
    return found != counts.end() && found->second >= limit;
}

}  // namespace

bool ConnectionCounts::Site::operator<(const Site& other) const {
    return std::tie(allowed, domain) < std::tie(other.allowed, other.domain);
}

bool ConnectionCounts::Site::operator==(const Site& other) const {
    return allowed == other.allowed && domain == other.domain;
}

ConnectionCounts::ConnectionCounts(Limits limits, Dealings dealings)
    : limits_(limits), dealings_(std::move(dealings)) {}

void ConnectionCounts::add(Id id, std::string address) {
    const auto [added, isNew] = connections_.emplace(id, Counted{std::move(address), std::nullopt});
    if (!isNew) return;
    ++counted_;
    ++ofAddress_[added->second.address];
}

void ConnectionCounts::remove(Id id) {
    const auto found = connections_.find(id);
    if (found == connections_.end()) return;
    if (!found->second.closing) release(found->second);
    connections_.erase(found);
}

bool ConnectionCounts::admitFromAddress(const std::string& address) {
    return !full(ofAddress_, address, limits_.perAddress) ||
           closeIdlest([&](const Counted& connection) {
               return connection.address == address && connection.site && !connection.site->allowed;
           });
}

bool ConnectionCounts::admitUnderCap() {
    return counted_ < limits_.cap || closeIdlest([](const Counted&) { return true; });
}

bool ConnectionCounts::admitOfSite(Id id, std::optional<Site> site) {
    const auto found = connections_.find(id);
    if (found == connections_.end() || found->second.closing) return true;
    Counted& connection = found->second;
    if (connection.site == site) return true;
    countSite(connection, std::nullopt);
    if (site && !roomOnSite(*site, id)) return false;
    countSite(connection, std::move(site));
    return true;
}

int ConnectionCounts::limitOf(const Site& site) const {
    return site.allowed ? limits_.perSite : limits_.perNotAllowedSite;
}

void ConnectionCounts::close(Id id) {
    const auto found = connections_.find(id);
    if (found != connections_.end() && !found->second.closing) {
        found->second.closing = true;
        release(found->second);
    }
    dealings_.close(id);
}

bool ConnectionCounts::closing(Id id) const {
    const auto found = connections_.find(id);
    return found == connections_.end() || found->second.closing;
}

// A site at its limit has room only if it is not allowed and has an idle connection other than
// `newcomer` to give up.
bool ConnectionCounts::roomOnSite(const Site& site, Id newcomer) {
    if (!full(ofSite_, site, limitOf(site))) return true;
    return !site.allowed && closeIdlest([&](const Counted& other) {
        return &other != &connections_.at(newcomer) && other.site == site;
    });
}

void ConnectionCounts::countSite(Counted& connection, std::optional<Site> site) {
    if (connection.site) uncount(ofSite_, *connection.site);
    connection.site = std::move(site);
    if (connection.site) ++ofSite_[*connection.site];
}

void ConnectionCounts::release(Counted& connection) {
    --counted_;
    uncount(ofAddress_, connection.address);
    countSite(connection, std::nullopt);
}

// Closes the one that has gone longest without data either way of the connections not closing
// yet that `closable` takes and that have no request in hand; false when there is none.
bool ConnectionCounts::closeIdlest(const std::function<bool(const Counted&)>& closable) {
    Id idlest = nullptr;
    std::uint32_t longest = 0;
    for (const auto& [id, connection] : connections_) {
        if (connection.closing || !closable(connection) || dealings_.busy(id)) continue;
        const std::uint32_t idle = dealings_.idleMilliseconds(id);
        if (idlest == nullptr || idle > longest) {
            idlest = id;
            longest = idle;
        }
    }
    if (idlest == nullptr) return false;
    close(idlest);
    return true;
}

}  // namespace quillmark
