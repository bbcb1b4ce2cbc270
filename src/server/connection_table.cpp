#include "server/connection_table.h"

#include <netinet/in.h>
#include <netinet/tcp.h>

#include <algorithm>
#include <cstdint>
#include <limits>

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

lws* connectionOf(ConnectionCounts::Id id) {
    return static_cast<lws*>(const_cast<void*>(id));
}

}  // namespace

ConnectionTable::ConnectionTable(unsigned descriptors, ConnectionWork work)
    : work_(work),
      counts_({capFor(descriptors), kMaxConnectionsPerAddress, kMaxConnectionsPerSite,
               kMaxConnectionsPerNotAllowedSite},
              {[work](ConnectionCounts::Id id) { return work.busy(connectionOf(id)); },
               [](ConnectionCounts::Id id) { return idleMilliseconds(connectionOf(id)); },
               [](ConnectionCounts::Id id) { closeSoon(connectionOf(id)); }}) {}

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
    return counts_.admitFromAddress(addressKey(peer));
}

bool ConnectionTable::admitUnderCap() {
    // Every connection busy: refused, rather than take the descriptors kept for files.
    return accepting_ && counts_.admitUnderCap();
}

bool ConnectionTable::admitOfSite(lws* wsi, std::string_view origin) {
    std::optional<ConnectionCounts::Site> site;
    if (!origin.empty())
        site = ConnectionCounts::Site{siteAllowed(origin), registrableDomain(origin)};
    if (counts_.admitOfSite(wsi, site)) return true;
    writeLogCounted("Connection refused: " + site->domain + " already holds " +
                    intToDecimal(counts_.limitOf(*site)) + " connections");
    return false;
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
        if (!counts_.closing(wsi)) visit(wsi, now - connection.accepted);
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
        if (counts_.closing(wsi) || (gone && connection.peerGone && !busy))
            counts_.close(wsi);
        else if (busy)
            work_.probe(wsi);
        connection.peerGone = gone;
    }
}

void ConnectionTable::add(lws* wsi) {
    const lws_sockfd_type fd = lws_get_socket_fd(wsi);
    const auto now = Clock::now();
    if (connections_.emplace(wsi, Connection{fd, now, now}).second) counts_.add(wsi, peerOf(fd));
}

void ConnectionTable::remove(lws* wsi) {
    counts_.remove(wsi);
    connections_.erase(wsi);
}

ConnectionTable& connectionTableOf(lws* wsi) {
    return *static_cast<ConnectionTable*>(lws_vhost_user(lws_get_vhost(wsi)));
}

}  // namespace quillmark
