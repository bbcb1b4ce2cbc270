#pragma once

#include <libwebsockets.h>

#include <cstddef>

namespace quillmark {

// Per-connection record of the "signature" protocol; plain data, zero-filled by the library.
struct SignatureSession {
    int startSent;
};

// The "signature" WebSocket protocol callback.
int callbackSignature(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len);

}  // namespace quillmark
