#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillmark {

// The limits the connection table keeps, as counts: connections in all against a cap, per
// client address, and per site (allowed sites and sites that are not count apart, so that a
// frame of a site not allowed never takes the share of an allowed page of the same domain).
// It knows connections by an id and no socket: what it needs of them (whether one has a request
// in hand, how long it has been idle) and closing one are asked of the table. A connection it
// closes counts nowhere from then on, though it stays known until it is removed.
class ConnectionCounts {
  public:
    using Id = const void*;

    struct Site {
        bool allowed;
        std::string domain;
        bool operator<(const Site& other) const;
        bool operator==(const Site& other) const;
    };

    struct Limits {
        std::size_t cap;  // connections in all
        int perAddress;
        int perSite;
        int perNotAllowedSite;
    };

    // What the counts ask of the table: whether the connection has a request in hand (it is
    // never closed for another), how long since data last went either way, and to close it.
    struct Dealings {
        std::function<bool(Id)> busy;
        std::function<std::uint32_t(Id)> idleMilliseconds;
        std::function<void(Id)> close;
    };

    ConnectionCounts(Limits limits, Dealings dealings);

    // A connection accepted from `address` (any text that names the client's address).
    void add(Id id, std::string address);
    // A connection ended.
    void remove(Id id);

    // A new connection from `address` when the address holds its limit: the longest-idle
    // connection from the address whose latest request came from a site not allowed is closed
    // for it. False when there is none: the new one is refused.
    bool admitFromAddress(const std::string& address);

    // A new connection at the cap closes the longest-idle one that has no request in hand.
    // False at the cap with every connection busy: the new one is refused.
    bool admitUnderCap();

    // Counts the connection under the site of its latest request (none: a request without an
    // origin). A site at its limit that is not allowed has its longest-idle other connection
    // closed for this one. False when the site holds its limit of other connections, none of
    // them closable: this one is then counted under no site.
    bool admitOfSite(Id id, std::optional<Site> site);

    // How many connections the site may hold.
    int limitOf(const Site& site) const;

    // Closes the connection; it counts nowhere from now on.
    void close(Id id);

    // True once the connection was closed here (or is not known).
    bool closing(Id id) const;

  private:
    struct Counted {
        std::string address;
        std::optional<Site> site;  // of its latest request
        bool closing = false;
    };

    bool roomOnSite(const Site& site, Id newcomer);
    void countSite(Counted& connection, std::optional<Site> site);
    void release(Counted& connection);
    bool closeIdlest(const std::function<bool(const Counted&)>& closable);

    const Limits limits_;
    const Dealings dealings_;
    std::unordered_map<Id, Counted> connections_;
    std::size_t counted_ = 0;  // connections not closing
    std::map<std::string, int> ofAddress_;
    std::map<Site, int> ofSite_;
};

}  // namespace quillmark
