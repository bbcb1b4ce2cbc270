#pragma once

#include <string_view>

#include "protocol/endpoint.h"
#include "support/bytes.h"

namespace quillmark {

struct DispatchResult {
    OptionalText reply;    // no reply: nothing is written for the request
    bool restart = false;  // HTTP only: start a new copy once the reply is written
};

// Parses one complete request and runs its action. HTTP serves restart, getVersion,
// getCerts and sign; WebSocket serves getCerts and sign. getCerts and sign from a site the
// user has not allowed ask first; restart from one is ignored, with a log line. Throws
// std::bad_alloc when memory runs out on the way, cJSON's included: the request then ends
// without a reply.
DispatchResult dispatchAction(std::string_view requestText, const RequestContext& context);

}  // namespace quillmark
