#pragma once

#include <string_view>

#include "consent/consent_prompter.h"
#include "keystore/pin_prompter.h"
#include "signing/signature_trace.h"
#include "support/dialog_turns.h"

namespace quillmark {

class StoreHandle;

// What requests ask the user through, and who learns of each signature made: set up at start
// and kept until the server has stopped.
struct RequestServices {
    ConsentPrompter* consentPrompter = nullptr;
    PinPrompter* pinPrompter = nullptr;
    SignatureObserver signatureObserver;  // may be empty
};

// Which endpoint a request came through: they serve different actions.
enum class Endpoint { Http, WebSocket };

// Where a request came from: its endpoint, and the requesting page's origin as its browser
// sent it (the HTTP request's `Origin` header, or the WebSocket handshake's); empty when the
// request came without one, as a local program's does; the scope it runs in, which its
// dialogs take their turn with (null outside any runner); what it asks the user through (null:
// nothing can be asked); and its hold on the certificate store, which getCerts and sign need.
struct RequestContext {
    Endpoint endpoint;
    std::string_view origin{};
    const RequestScope* request = nullptr;
    const RequestServices* services = nullptr;
    const StoreHandle* store = nullptr;
};

}  // namespace quillmark
