#pragma once

#include <libwebsockets.h>

#include <string_view>

namespace quillmark {

// At most this many simultaneous connections from one site (one Origin), HTTP and WebSocket
// together, so that one page cannot use up the per-address limit that all pages share.
constexpr int kMaxConnectionsPerSite = 32;

// Counts the connection under the site of its latest request once its Origin is read (a
// request without one counts under no site). False when the site already holds
// kMaxConnectionsPerSite other connections: this newest one is logged and must be closed.
bool admitConnectionOfSite(const lws* wsi, std::string_view origin);

// Forgets a connection that has ended.
void releaseConnectionOfSite(const lws* wsi);

}  // namespace quillmark
