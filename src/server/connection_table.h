#pragma once

#include <libwebsockets.h>
#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "server/connection_counts.h"
#include "server/connection_tickets.h"

namespace quillmark {

// A connection that has not sent a whole request head this long after it opened, or after
// its last request was answered, is cut. The library's own cut of such connections comes
// from its header-table idle time, which it also uses to cut any connection holding a header
// table for that time plus 360 s, a request waiting for the user's PIN included; so that
// time is set to kHeaderTableHold and this deadline keeps the idle ones short.
constexpr int kHeadSeconds = 10;
constexpr int kHeaderTableHold = 24 * 60 * 60;

// How often the open connections are checked for peers that have left.
constexpr std::chrono::seconds kConnectionSweepInterval(5);

// At most this many simultaneous connections from one client address.
constexpr int kMaxConnectionsPerAddress = 105;

// At most this many simultaneous connections of one allowed site (one registrable domain,
// see registrableDomain), HTTP and WebSocket together, so that one page cannot use up the
// per-address limit that all pages share.
constexpr int kMaxConnectionsPerSite = 32;

// A site that is not allowed gets this small share: enough to ask the user, too few for its
// frames to crowd out the others.
constexpr int kMaxConnectionsPerNotAllowedSite = 4;

// What the endpoints tell of a connection; the table itself knows no endpoint.
struct ConnectionWork {
    // A request of the connection is being worked on, waits for a dialog, or has its reply on
    // the way: closing the connection would drop a request the agent has taken.
    bool (*busy)(lws* wsi);
    // A busy connection whose peer has finished sending: its endpoint checks whether the peer
    // has gone altogether.
    void (*probe)(lws* wsi);
};

// The server's open connections, one record each, counted against the descriptors the
// server may use, per client address and per site (ConnectionCounts), with the time each has
// waited for a request head. A connection the table closes no longer counts anywhere. One sweep,
// every second, cuts the connections past their head deadline and, every kConnectionSweepInterval,
// closes those whose peer has finished sending since the previous check and that have no
// request in hand: the library can keep such a connection forever without serving it (after
// some compressed WebSocket sessions it even polls it in a busy loop). It also holds the
// tickets by which the store workers' finished work finds its connection. Owned by the server
// thread, which lends it to every virtual host; used on the service thread only.
class ConnectionTable {
  public:
    // `descriptors`: how many the server may use (0: unknown, the library's own tables
    // apply); some are kept for the agent's other files. Idle connections are those `work`
    // finds not busy.
    ConnectionTable(unsigned descriptors, ConnectionWork work);
    ConnectionTable(const ConnectionTable&) = delete;
    ConnectionTable& operator=(const ConnectionTable&) = delete;

    // Feed it every callback of the first protocol, where the library reports new and ended
    // connections and complete heads, and the set-up and end of each virtual host's
    // protocols, which start and stop the sweep. Finds the table of the callback's server.
    static void follow(lws* wsi, lws_callback_reasons reason);

    // A new connection from `address` when its address holds its limit: the longest-idle
    // connection from the address whose latest request came from a site not allowed is closed
    // for it. False when there is none: the new one is refused.
    bool admitFromAddress(const sockaddr_storage& address);

    // A new connection at the cap closes the longest-idle one that has no request being
    // worked on or waiting for a dialog, so that a page is never refused because idle clients
    // hold every descriptor. False after stopAccepting, or at the cap with every connection
    // busy: the new one is refused.
    bool admitUnderCap();

    // Counts the connection under the site of its latest request once its Origin is read (a
    // request without one counts under no site). A site at its limit that is not allowed has
    // its longest-idle connection closed for the new one. False when the site holds its limit
    // of other connections, none of them closable: this newest one is logged and must be
    // closed.
    bool admitOfSite(lws* wsi, std::string_view origin);

    // A kept-alive connection has been answered and waits for its next request head.
    void awaitNextRequestHead(lws* wsi);

    // A request head has come whole (HTTP endpoint, for every request of a connection).
    void requestHeadArrived(lws* wsi);

    // From now on every new connection is refused as soon as it is accepted.
    void stopAccepting();

    // Calls `visit` with each open connection the table has not closed, and the time since
    // it was accepted.
    void forEachOpen(
        const std::function<void(lws*, std::chrono::steady_clock::duration)>& visit) const;

    ConnectionTickets& tickets() { return tickets_; }

  private:
    using Clock = std::chrono::steady_clock;

    struct Connection {
        lws_sockfd_type fd;
        Clock::time_point accepted;
        std::optional<Clock::time_point> headAwaited;  // since when, while a head is awaited
        bool peerGone = false;  // the peer had finished sending at the last check
    };

    static void sweep(lws_sorted_usec_list_t* timer);
    void scheduleSweep();
    void cutLateHeads();
    void closePeersGone();
    void add(lws* wsi);
    void remove(lws* wsi);

    // The library hands its timer callback the timer alone: the table rides beside it.
    struct SweepTimer {
        lws_sorted_usec_list_t timer;  // first, so that the callback's pointer leads here
        ConnectionTable* table;
    };

    SweepTimer sweepTimer_{{}, this};
    lws_context* context_ = nullptr;
    unsigned sweeps_ = 0;
    std::unordered_map<lws*, Connection> connections_;
    ConnectionWork work_;
    ConnectionCounts counts_;
    bool accepting_ = true;
    ConnectionTickets tickets_;
};

// The table of the connection's server.
ConnectionTable& connectionTableOf(lws* wsi);

}  // namespace quillmark
