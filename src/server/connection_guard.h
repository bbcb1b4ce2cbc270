#pragma once

#include <libwebsockets.h>

namespace quillmark {

// The checks every connection passes, fed every callback of every protocol (the library
// reports new connections to the first protocol, requests to the one serving them): a new
// connection must come from this user and stay within its address's limit and the cap on open
// connections (see ConnectionTable); each request
// (HTTP, or a WebSocket handshake) must name this agent in its Host and stay within its site's
// limit. For a new connection user points to its lws_filter_network_conn_args. Returns
// nonzero to close the connection, without a reply.
int guardConnection(lws* wsi, lws_callback_reasons reason, void* user);

}  // namespace quillmark
