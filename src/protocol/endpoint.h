#pragma once

#include <string_view>

#include "support/dialog_turns.h"

namespace quillmark {

class PinPrompter;
class StoreHandle;

// Which endpoint a request came through: they serve different actions.
enum class Endpoint { Http, WebSocket };

// Where a request came from: its endpoint, and the requesting page's origin as its browser
// sent it (the HTTP request's `Origin` header, or the WebSocket handshake's); empty when the
// request came without one, as a local program's does; the scope it runs in, which its
// dialogs take their turn with (null outside any runner); what asks for its PINs (null:
// none can be asked); and its hold on the certificate store, which getCerts and sign need.
struct RequestContext {
    Endpoint endpoint;
    std::string_view origin{};
    const RequestScope* request = nullptr;
    PinPrompter* pinPrompter = nullptr;
    const StoreHandle* store = nullptr;
};

}  // namespace quillmark
