#pragma once

#include <string_view>

namespace quillmark {

// Which endpoint a request came through: they serve different actions.
enum class Endpoint { Http, WebSocket };

// Where a request came from: its endpoint, and the requesting page's origin as its browser
// sent it (the HTTP request's `Origin` header, or the WebSocket handshake's); empty when the
// request came without one, as a local program's does.
struct RequestContext {
    Endpoint endpoint;
    std::string_view origin{};
};

}  // namespace quillmark
