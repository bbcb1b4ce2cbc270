#pragma once

#include <libwebsockets.h>

namespace quillmark {

// The protocols, extensions and mount every virtual host of the agent serves.
extern const lws_protocols kProtocolTable[];
extern const lws_extension kExtensionTable[];
extern const lws_http_mount kCallbackMount;

}  // namespace quillmark
