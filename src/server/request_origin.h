#pragma once

#include <libwebsockets.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "consent/consent_gate.h"

namespace quillmark {

// The `Origin` header of a request or of a WebSocket handshake, kept in a per-connection
// record. Plain data: libwebsockets zero-fills those records and never constructs them. An
// origin longer than the consent gate compares keeps one byte past that limit: it still reads
// as too long, and is refused whole rather than matched by its beginning.
struct RequestOrigin {
    char text[kMaxOriginLength + 1];
    std::uint16_t length;
};

// Reads the origin from the headers of the request being received; empty when it has none.
void readRequestOrigin(lws* wsi, RequestOrigin& origin);

inline std::string_view originText(const RequestOrigin& origin) {
    return {origin.text, origin.length};
}

}  // namespace quillmark
