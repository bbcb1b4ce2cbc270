#pragma once

#include <libwebsockets.h>

#include <chrono>
#include <functional>

namespace quillmark {

// How often the open connections are checked for peers that have left.
constexpr std::chrono::seconds kConnectionSweepInterval(5);

// Keeps the number of open connections below what `descriptors` allows, leaving room for
// the agent's other files. Called once, before the server starts.
void capOpenConnections(unsigned descriptors);

// Follows every open connection. Feed it every callback of the first protocol, where the
// library reports new and ended connections. A new connection that finds the cap reached
// closes the longest-idle one that has no request being worked on or waiting for a dialog, so
// that a page is never refused because idle clients hold every descriptor (it is refused when
// every connection is busy). Every kConnectionSweepInterval, a connection whose peer has finished
// sending since the previous sweep, that the library has not closed by then and that has no
// request in hand, is closed:
// the library can keep such a connection forever without serving it (after some compressed
// WebSocket sessions it even polls it in a busy loop).
// Returns nonzero to refuse a new connection (after stopAcceptingConnections, or at the cap
// with every connection busy).
int followOpenConnections(lws* wsi, lws_callback_reasons reason, void* user);

// From now on every new connection is closed as soon as it is accepted.
void stopAcceptingConnections();

// Calls `visit` with each open connection the agent has not asked to close, and the time
// since it was accepted.
void forEachOpenConnection(
    const std::function<void(lws*, std::chrono::steady_clock::duration)>& visit);

}  // namespace quillmark
