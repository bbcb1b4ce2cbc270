#include "server/connection_table.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <tuple>

#include "consent/consent_gate.h"
#include "consent/registrable_domain.h"
#include "server/peer_finished.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

// Descriptors kept for the agent's own files (log, certificate store, tokens, PIN dialog,
// the desktop's connections), out of the descriptors the server may use.
constexpr unsigned kReservedDescriptors = 128;

constexpr std::chrono::seconds kSweepInterval(1);
constexpr auto kSweepsPerPeerCheck = kConnectionSweepInterval / kSweepInterval;

std::size_t capFor(unsigned descriptors) {
    if (descriptors == 0) return std::numeric_limits<std::size_t>::max();
    return descriptors - std::min(kReservedDescriptors, descriptors / 4);
}

// The 16 address bytes without the port; IPv4 peers as IPv4-mapped IPv6 addresses.
std::string addressKey(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::string key(10, '\0');
        key += "\xff\xff";
        return key.append(reinterpret_cast<const char*>(&v4.sin_addr.s_addr), 4);
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        return std::string(reinterpret_cast<const char*>(v6.sin6_addr.s6_addr), 16);
    }
    return {};
}

std::string peerOf(lws_sockfd_type fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
    return addressKey(address);
}

// Milliseconds since data last went either way on the connection.
std::uint32_t idleMilliseconds(lws* wsi) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(lws_get_socket_fd(wsi), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    return std::min(info.tcpi_last_data_recv, info.tcpi_last_data_sent);
}

// Has the library close the connection at its next service pass.
void closeSoon(lws* wsi) {
    lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

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

bool ConnectionTable::Site::operator<(const Site& other) const {
    return std::tie(allowed, domain) < std::tie(other.allowed, other.domain);
}

bool ConnectionTable::Site::operator==(const Site& other) const {
    return allowed == other.allowed && domain == other.domain;
}

ConnectionTable::ConnectionTable(unsigned descriptors, ConnectionWork work)
    : cap_(capFor(descriptors)), work_(work) {}

void ConnectionTable::follow(lws* wsi, lws_callback_reasons reason) {
    switch (reason) {
        case LWS_CALLBACK_PROTOCOL_INIT: {
            ConnectionTable& table = connectionTableOf(wsi);
            table.context_ = lws_get_context(wsi);
            table.scheduleSweep();
            break;
        }
        case LWS_CALLBACK_PROTOCOL_DESTROY:
            lws_sul_cancel(&connectionTableOf(wsi).sweepTimer_.timer);
            break;
        case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
            connectionTableOf(wsi).add(wsi);
            break;
        case LWS_CALLBACK_FILTER_HTTP_CONNECTION:
        case LWS_CALLBACK_ESTABLISHED:
            connectionTableOf(wsi).requestHeadArrived(wsi);
            break;
        case LWS_CALLBACK_WSI_DESTROY:
            connectionTableOf(wsi).remove(wsi);
            break;
        default:
            break;
    }
}

bool ConnectionTable::admitFromAddress(const sockaddr_storage& peer) {
    const std::string address = addressKey(peer);
    return !full(ofAddress_, address, kMaxConnectionsPerAddress) ||
           closeIdlest([&](const Connection& connection) {
               return connection.address == address && connection.site && !connection.site->allowed;
           });
}

bool ConnectionTable::admitUnderCap() {
    if (!accepting_) return false;
    // Every connection busy: refused, rather than take the descriptors kept for files.
    return counted_ < cap_ || closeIdlest([](const Connection&) { return true; });
}

bool ConnectionTable::admitOfSite(lws* wsi, std::string_view origin) {
    const auto found = connections_.find(wsi);
    if (found == connections_.end() || found->second.closing) return true;
    Connection& connection = found->second;
    if (origin.empty()) {
        countSite(connection, std::nullopt);
        return true;
    }
    const Site site{siteAllowed(origin), registrableDomain(origin)};
    if (connection.site == site) return true;
    countSite(connection, std::nullopt);

    if (!roomOnSite(site, connection)) {
        const std::string refusal = "Connection refused: " + site.domain + " already holds " +
                                    intToDecimal(limitOf(site)) + " connections";
        writeLogCounted(refusal);
        return false;
    }
    countSite(connection, site);
    return true;
}

int ConnectionTable::limitOf(const Site& site) {
    return site.allowed ? kMaxConnectionsPerSite : kMaxConnectionsPerNotAllowedSite;
}

// A site at its limit has room only if it is not allowed and has an idle connection other than
// `newcomer` to give up.
bool ConnectionTable::roomOnSite(const Site& site, const Connection& newcomer) {
    if (!full(ofSite_, site, limitOf(site))) return true;
    return !site.allowed && closeIdlest([&](const Connection& other) {
        return &other != &newcomer && other.site == site;
    });
}

void ConnectionTable::awaitNextRequestHead(lws* wsi) {
    const auto found = connections_.find(wsi);
    if (found != connections_.end()) found->second.headAwaited = Clock::now();
}

void ConnectionTable::requestHeadArrived(lws* wsi) {
    const auto found = connections_.find(wsi);
    if (found != connections_.end()) found->second.headAwaited.reset();
}

void ConnectionTable::stopAccepting() {
    accepting_ = false;
}

void ConnectionTable::forEachOpen(
    const std::function<void(lws*, std::chrono::steady_clock::duration)>& visit) const {
    const auto now = Clock::now();
    for (const auto& [wsi, connection] : connections_) {
        if (!connection.closing) visit(wsi, now - connection.accepted);
    }
}

void ConnectionTable::sweep(lws_sorted_usec_list_t* timer) {
    ConnectionTable& table = *reinterpret_cast<SweepTimer*>(timer)->table;
    table.cutLateHeads();
    if (++table.sweeps_ % kSweepsPerPeerCheck == 0) table.closePeersGone();
    table.scheduleSweep();
}

void ConnectionTable::scheduleSweep() {
    lws_sul_schedule(context_, 0, &sweepTimer_.timer, sweep,
                     std::chrono::microseconds(kSweepInterval).count());
}

void ConnectionTable::cutLateHeads() {
    const Clock::time_point late = Clock::now() - std::chrono::seconds(kHeadSeconds);
    for (const auto& [wsi, connection] : connections_) {
        if (connection.headAwaited && *connection.headAwaited < late)
            lws_set_timeout(wsi, PENDING_TIMEOUT_HOLDING_AH, LWS_TO_KILL_ASYNC);
    }
}

void ConnectionTable::closePeersGone() {
    for (auto& [wsi, connection] : connections_) {
        const bool gone = peerFinishedSending(connection.fd);
        const bool busy = gone && work_.busy(wsi);
        // Asked before and still open: ask again, something may have set another time-out. A
        // request that came whole before the peer finished sending is still answered, unless
        // the peer turns out to have gone altogether.
        if (connection.closing || (gone && connection.peerGone && !busy))
            close(wsi, connection);
        else if (busy)
            work_.probe(wsi);
        connection.peerGone = gone;
    }
}

void ConnectionTable::add(lws* wsi) {
    const lws_sockfd_type fd = lws_get_socket_fd(wsi);
    const auto now = Clock::now();
    const auto [added, isNew] =
        connections_.emplace(wsi, Connection{fd, peerOf(fd), now, now, std::nullopt});
    if (!isNew) return;
    ++counted_;
    ++ofAddress_[added->second.address];
}

void ConnectionTable::remove(lws* wsi) {
    const auto found = connections_.find(wsi);
    if (found == connections_.end()) return;
    if (!found->second.closing) release(found->second);
    connections_.erase(found);
}

void ConnectionTable::countSite(Connection& connection, std::optional<Site> site) {
    if (connection.site) uncount(ofSite_, *connection.site);
    connection.site = std::move(site);
    if (connection.site) ++ofSite_[*connection.site];
}

void ConnectionTable::release(Connection& connection) {
    --counted_;
    uncount(ofAddress_, connection.address);
    countSite(connection, std::nullopt);
}

// It counts nowhere from now on.
void ConnectionTable::close(lws* wsi, Connection& connection) {
    if (!connection.closing) {
        connection.closing = true;
        release(connection);
    }
    closeSoon(wsi);
}

// Closes the one that has gone longest without data either way (as the kernel counts it) of
// the connections not closing yet that `closable` takes and that have no request in hand;
// false when there is none.
bool ConnectionTable::closeIdlest(const std::function<bool(const Connection&)>& closable) {
    lws* idlest = nullptr;
    std::uint32_t longest = 0;
    for (const auto& [wsi, connection] : connections_) {
        if (connection.closing || !closable(connection) || work_.busy(wsi)) continue;
        const std::uint32_t idle = idleMilliseconds(wsi);
        if (idlest == nullptr || idle > longest) {
            idlest = wsi;
            longest = idle;
        }
    }
    if (idlest == nullptr) return false;
    close(idlest, connections_.at(idlest));
    return true;
}

ConnectionTable& connectionTableOf(lws* wsi) {
    return *static_cast<ConnectionTable*>(lws_vhost_user(lws_get_vhost(wsi)));
}

}  // namespace quillmark
