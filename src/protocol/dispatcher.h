#pragma once

#include <string_view>

#include "protocol/endpoint.h"
#include "support/bytes.h"
#include "support/json.h"

namespace quillmark {

struct DispatchResult {
    OptionalText reply;    // no reply: nothing is written for the request
    bool restart = false;  // HTTP only: start a new copy once the reply is written
};

struct Action;

// A request parsed and its action looked up, not yet run: the server runs the actions that
// read the certificate store (and may open a dialog) away from its service thread.
class ParsedRequest {
  public:
    // False when the request names no action its endpoint serves: it gets no reply.
    bool served() const { return action_ != nullptr; }
    // getCerts and sign read the store; a sign may wait for the user's PIN.
    bool readsStore() const;

  private:
    friend ParsedRequest parseRequest(std::string_view, Endpoint);
    friend DispatchResult runRequest(ParsedRequest&, std::string_view, const RequestContext&);
    JsonPtr json_;
    const Action* action_ = nullptr;
};

// Parses one complete request, looks up its action and logs the action's name (HTTP only).
// Throws std::bad_alloc when memory runs out, cJSON's included.
ParsedRequest parseRequest(std::string_view requestText, Endpoint endpoint);

// Runs a parsed request's action, on any thread; `requestText` is the text it was parsed
// from. Actions that read the store need the context's store handle. Throws std::bad_alloc when
// memory runs out, cJSON's included.
DispatchResult runRequest(ParsedRequest& request, std::string_view requestText,
                          const RequestContext& context);

// Parses one complete request and runs its action. HTTP serves restart, getVersion,
// getCerts, sign and status; WebSocket serves getCerts, sign and status. getCerts and sign from a
// site the user has not allowed ask first; restart from one is ignored, with a log line. Throws
// std::bad_alloc when memory runs out on the way, cJSON's included: the request then ends
// without a reply.
DispatchResult dispatchAction(std::string_view requestText, const RequestContext& context);

}  // namespace quillmark
