#pragma once

#include <libwebsockets.h>

#include <cstddef>
#include <string_view>

namespace quillmark {

// Longer origins are kept cut to this many bytes: the PIN dialog shows a bounded text anyway.
constexpr std::size_t kMaxOriginLength = 255;

// The `Origin` header of a request or of a WebSocket handshake, kept in a per-connection
// record. Plain data: libwebsockets zero-fills those records and never constructs them.
struct RequestOrigin {
    char text[kMaxOriginLength + 1];
};

// Reads the origin from the headers of the request being received; empty when it has none.
void readRequestOrigin(lws* wsi, RequestOrigin& origin);

inline std::string_view originText(const RequestOrigin& origin) {
    return origin.text;
}

}  // namespace quillmark
