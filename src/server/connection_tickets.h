#pragma once

#include <libwebsockets.h>

#include <cstdint>
#include <vector>

namespace quillmark {

// Names a connection to the work done for it away from the service thread. Plain data, kept in
// the library's zero-filled per-connection records (a zero generation: no ticket).
struct ConnectionTicket {
    std::uint32_t slot;
    std::uint32_t generation;
};

inline bool operator==(ConnectionTicket a, ConnectionTicket b) {
    return a.slot == b.slot && a.generation == b.generation;
}

inline bool hasTicket(ConnectionTicket ticket) {
    return ticket.generation != 0;
}

struct FinishedWork;

// Hands a finished request to its connection's endpoint.
using DeliverWork = void (*)(lws* wsi, FinishedWork& work);

// The tickets of the open connections. Each open connection holds a slot; a slot freed by a
// closed connection is taken again under a new generation, so a ticket of a closed connection
// never finds the connection that came after it, and finished work never reaches a freed or
// reused connection. Part of the connection table; used on the service thread only.
class ConnectionTickets {
  public:
    // A ticket for an open connection, whose finished work `deliver` hands over.
    ConnectionTicket open(lws* wsi, DeliverWork deliver);

    // The connection closes: its ticket finds nothing from now on, and is left empty.
    void close(ConnectionTicket& ticket);

    // The open connection the ticket names and its delivery; null when it has closed.
    lws* connectionOf(ConnectionTicket ticket, DeliverWork& deliver) const;

  private:
    struct Slot {
        lws* wsi = nullptr;  // null: free
        std::uint32_t generation = 0;
        DeliverWork deliver = nullptr;
    };

    std::vector<Slot> slots_;
    std::vector<std::uint32_t> freeSlots_;
};

}  // namespace quillmark
