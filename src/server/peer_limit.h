#pragma once

#include <libwebsockets.h>

namespace quillmark {

// At most this many simultaneous connections from one client address.
constexpr int kMaxConnectionsPerAddress = 105;

// Counts live connections per client address. At the limit, the longest-idle connection from
// the address of a site that is not allowed is closed for the new one; with none, the new one
// is refused. Feed it
// every callback of the first protocol, where the library reports new and ended connections
// (for a new connection, user points to its lws_filter_network_conn_args);
// it returns nonzero to refuse a connection.
int limitConnectionsPerAddress(lws* wsi, lws_callback_reasons reason, void* user);

}  // namespace quillmark
