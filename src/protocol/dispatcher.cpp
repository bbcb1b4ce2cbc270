#include "protocol/dispatcher.h"

#include <cstring>
#include <new>
#include <string>

#include "consent/consent_gate.h"
#include "protocol/cert_requests.h"
#include "support/json.h"
#include "support/log_file.h"
#include "version.h"

namespace quillmark {
namespace {

constexpr char kRestartIgnoredLog[] = "restart ignored, site not allowed: ";

// What an action's handler is given: the parsed request, its text and where it came from.
struct ActionRequest {
    cJSON* json;
    std::string_view text;
    const RequestContext& context;
};

using ActionHandler = DispatchResult (*)(const ActionRequest&);

// One action. Names are compared with strncmp and a bound: a bound equal to the name's length
// accepts any value that begins with the name; "restart" counts its NUL and more, and so
// matches only itself. The log line is written for HTTP requests only.
struct Action {
    const char* name;
    std::size_t bound;
    bool overHttp;
    bool overWebSocket;
    const char* httpLogLine;
    ActionHandler handler;
};

// Any page could otherwise end the requests of every other page in flight.
DispatchResult restart(const ActionRequest& request) {
    if (!siteAllowed(request.context.origin)) {
        writeLog(std::string(kRestartIgnoredLog) + std::string(request.context.origin));
        return {};
    }
    JsonPtr reply = newReply("restart");
    if (!reply) return {};
    DispatchResult result{printJson(reply.get())};
    result.restart = result.reply.has_value();
    return result;
}

DispatchResult version(const ActionRequest&) {
    JsonPtr reply = newReply("getVersion");
    if (!reply) return {};
    cJSON_AddItemToObject(reply.get(), "version", cJSON_CreateString(kVersion));
    return {printJson(reply.get())};
}

DispatchResult certificates(const ActionRequest& request) {
    return {handleGetCertsRequest(request.context)};
}

DispatchResult signature(const ActionRequest& request) {
    return {handleSignRequest(request.json, request.text, request.context)};
}

// In the order the action is looked up.
constexpr Action kActions[] = {
    {"restart", 9, true, false, "restart", restart},
    {"getVersion", 10, true, false, "getVersion", version},
    {"getCerts", 8, true, true, "getCerts", certificates},
    {"sign", 4, true, true, "sign", signature},
};

bool served(const Action& action, Endpoint endpoint) {
    return endpoint == Endpoint::Http ? action.overHttp : action.overWebSocket;
}

const Action* findAction(const char* name, Endpoint endpoint) {
    for (const Action& action : kActions) {
        if (served(action, endpoint) && std::strncmp(name, action.name, action.bound) == 0)
            return &action;
    }
    return nullptr;
}

DispatchResult dispatchParsed(std::string_view requestText, const RequestContext& context) {
    const JsonPtr request(cJSON_ParseWithLength(requestText.data(), requestText.size()));
    const char* name = stringMember(request.get(), "action");
    if (name == nullptr) return {};
    const Action* action = findAction(name, context.endpoint);
    if (action == nullptr) return {};
    if (context.endpoint == Endpoint::Http) writeLog(action->httpLogLine);
    return action->handler({request.get(), requestText, context});
}

}  // namespace

DispatchResult dispatchAction(std::string_view requestText, const RequestContext& context) {
    const std::size_t failuresBefore = jsonAllocationFailures();
    DispatchResult result = dispatchParsed(requestText, context);
    if (jsonAllocationFailures() != failuresBefore) throw std::bad_alloc();
    return result;
}

}  // namespace quillmark
