#pragma once

#include <libwebsockets.h>

namespace quillmark {

// The names of the WebSocket endpoint's protocol (the default one) and of the HTTP endpoint's.
constexpr char kWebSocketProtocolName[] = "signature";
constexpr char kHttpProtocolName[] = "protocol-http";

// The protocols, extensions and mount every virtual host of the agent serves.
extern const lws_protocols kProtocolTable[];
extern const lws_extension kExtensionTable[];
extern const lws_http_mount kCallbackMount;

// True while a request of the connection is being worked on, waits for a dialog, or has its
// reply on the way: closing the connection would drop a request the agent has taken.
bool connectionBusy(lws* wsi);

// A busy connection whose peer has finished sending: its endpoint checks whether the peer has
// gone altogether (see probeHttpPeer).
void probeBusyPeer(lws* wsi);

}  // namespace quillmark
