#pragma once

#include <libwebsockets.h>

#include <string_view>

namespace quillmark {

// At most this many simultaneous connections of one allowed site (one registrable domain,
// see registrableDomain), HTTP and WebSocket together, so that one page cannot use up the
// per-address limit that all pages share.
constexpr int kMaxConnectionsPerSite = 32;

// A site that is not allowed gets this small share: enough to ask the user, too few for its
// frames to crowd out the others.
constexpr int kMaxConnectionsPerNotAllowedSite = 4;

// Counts the connection under the site of its latest request once its Origin is read (a
// request without one counts under no site). A site at its limit that is not allowed has its
// longest-idle connection closed for the new one. False when the site holds its limit of
// other connections, none of them closable: this newest one is logged and must be closed.
bool admitConnectionOfSite(lws* wsi, std::string_view origin);

// The connection's latest request came from a site that was not allowed then.
bool connectionOfNotAllowedSite(const lws* wsi);

// Forgets a connection that has ended, or that is being closed.
void releaseConnectionOfSite(const lws* wsi);

}  // namespace quillmark
