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

}  // namespace quillmark
