#include "server/open_connections.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>
#include <limits>
#include <unordered_map>

#include "server/idle_connections.h"

namespace quillmark {
namespace {

// Descriptors kept for the agent's own files (log, certificate store, tokens, PIN dialog,
// the desktop's connections), out of the descriptors the server may use.
constexpr unsigned kReservedDescriptors = 128;

struct OpenConnection {
    lws_sockfd_type fd;
    std::chrono::steady_clock::time_point accepted;
    bool closing;   // asked to close: no longer counted against the cap
    bool peerGone;  // the peer had finished sending at the last sweep
};

// Only the server thread touches these.
std::unordered_map<lws*, OpenConnection> openConnections;
std::size_t countedConnections = 0;
std::size_t connectionCap = std::numeric_limits<std::size_t>::max();
bool accepting = true;
lws_sorted_usec_list_t sweepTimer{};
lws_context* sweptContext = nullptr;

// The peer has closed its side (a FIN arrived) and the agent has not closed its own.
bool peerFinishedSending(lws_sockfd_type fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    return getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
           info.tcpi_state == TCP_CLOSE_WAIT;
}

// Has the library close the connection at its next service pass.
void closeConnection(lws* wsi, OpenConnection& connection) {
    if (!connection.closing) {
        connection.closing = true;
        --countedConnections;
    }
    closeSoon(wsi);
}

// Closes the longest-idle connection that has no request in hand; false when every one has.
bool closeLongestIdle() {
    IdlestConnection idlest;
    for (const auto& [wsi, connection] : openConnections) {
        if (!connection.closing) idlest.consider(wsi);
    }
    if (idlest.found() == nullptr) return false;
    closeConnection(idlest.found(), openConnections.at(idlest.found()));
    return true;
}

void sweep(lws_sorted_usec_list_t*) {
    for (auto& [wsi, connection] : openConnections) {
        const bool gone = peerFinishedSending(connection.fd);
        const bool busy = gone && connectionBusy(wsi);
        // Asked before and still open: ask again, something may have set another time-out. A
        // request that came whole before the peer finished sending is still answered, unless
        // the peer turns out to have gone altogether.
        if (connection.closing || (gone && connection.peerGone && !busy))
            closeConnection(wsi, connection);
        else if (busy)
            probeBusyPeer(wsi);
        connection.peerGone = gone;
    }
    lws_sul_schedule(sweptContext, 0, &sweepTimer, sweep,
                     std::chrono::microseconds(kConnectionSweepInterval).count());
}

}  // namespace

void capOpenConnections(unsigned descriptors) {
    if (descriptors == 0) return;  // the limit is unknown: the library's own tables apply
    const unsigned reserved = std::min(kReservedDescriptors, descriptors / 4);
    connectionCap = descriptors - reserved;
}

int followOpenConnections(lws* wsi, lws_callback_reasons reason, void*) {
    switch (reason) {
        case LWS_CALLBACK_PROTOCOL_INIT:
            sweptContext = lws_get_context(wsi);
            lws_sul_schedule(sweptContext, 0, &sweepTimer, sweep,
                             std::chrono::microseconds(kConnectionSweepInterval).count());
            return 0;
        case LWS_CALLBACK_PROTOCOL_DESTROY:
            lws_sul_cancel(&sweepTimer);
            return 0;
        case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
            if (!accepting) return 1;
            // Every connection busy: refused, rather than take the descriptors kept for files.
            return countedConnections >= connectionCap && !closeLongestIdle() ? 1 : 0;
        case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
            openConnections[wsi] = {lws_get_socket_fd(wsi), std::chrono::steady_clock::now(), false,
                                    false};
            ++countedConnections;
            return 0;
        case LWS_CALLBACK_WSI_DESTROY: {
            const auto found = openConnections.find(wsi);
            if (found == openConnections.end()) return 0;
            if (!found->second.closing) --countedConnections;
            openConnections.erase(found);
            return 0;
        }
        default:
            return 0;
    }
}

void stopAcceptingConnections() {
    accepting = false;
}

void forEachOpenConnection(
    const std::function<void(lws*, std::chrono::steady_clock::duration)>& visit) {
    const auto now = std::chrono::steady_clock::now();
    for (const auto& [wsi, connection] : openConnections) {
        if (!connection.closing) visit(wsi, now - connection.accepted);
    }
}

}  // namespace quillmark
