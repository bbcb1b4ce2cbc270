#include "protocol/dispatcher.h"

#include <cstring>
#include <new>
#include <string>

#include "consent/consent_gate.h"
#include "protocol/cert_requests.h"
#include "protocol/site_failures.h"
#include "support/json.h"
#include "support/log_file.h"
#include "version.h"

namespace quillmark {

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
    bool readsStore;
    const char* httpLogLine;
    ActionHandler handler;
};

namespace {

constexpr char kRestartIgnoredLog[] = "restart ignored, site not allowed: ";

// Any page could otherwise end the requests of every other page in flight.
DispatchResult restart(const ActionRequest& request) {
    if (!siteAllowed(request.context.origin)) {
        const std::string refusal =
            std::string(kRestartIgnoredLog) + std::string(request.context.origin);
        writeLogCounted(refusal);
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

const char* standingName(SiteStanding standing) {
    switch (standing) {
        case SiteStanding::AllowedByUser:
            return "allowed";
        case SiteStanding::AllowedByAdministrator:
            return "allowedByAdministrator";
        case SiteStanding::Refused:
            return "refused";
        case SiteStanding::NotAsked:
            break;
    }
    return "notAsked";
}

const char* failureName(SiteFailure failure) {
    switch (failure) {
        case SiteFailure::RefusedByUser:
            return "refusedByUser";
        case SiteFailure::PinCancelled:
            return "pinCancelled";
        case SiteFailure::NoDialog:
            return "noDialog";
        case SiteFailure::NotFound:
            return "notFound";
        case SiteFailure::WrongPin:
            return "wrongPin";
        case SiteFailure::None:
            break;
    }
    return "none";
}

// What the requesting site may learn of itself: never asks, and names no other site.
DispatchResult status(const ActionRequest& request) {
    JsonPtr reply = newReply("status");
    if (!reply) return {};
    const std::string_view origin = request.context.origin;
    cJSON_AddItemToObject(reply.get(), "version", cJSON_CreateString(kVersion));
    cJSON_AddItemToObject(reply.get(), "site",
                          cJSON_CreateString(standingName(siteStanding(origin))));
    cJSON_AddItemToObject(reply.get(), "lastFailure",
                          cJSON_CreateString(failureName(lastSiteFailure(origin))));
    return {printJson(reply.get())};
}

DispatchResult certificates(const ActionRequest& request) {
    return {handleGetCertsRequest(request.context)};
}

DispatchResult signature(const ActionRequest& request) {
    return {handleSignRequest(request.json, request.text, request.context)};
}

DispatchResult xmlSignature(const ActionRequest& request) {
    return {handleSignXmlRequest(request.json, request.context)};
}

// In the order the action is looked up: signXml, matched whole, before sign, which matches
// any name that begins with "sign".
constexpr Action kActions[] = {
    {"restart", 9, true, false, false, "restart", restart},
    {"getVersion", 10, true, false, false, "getVersion", version},
    {"getCerts", 8, true, true, true, "getCerts", certificates},
    {"signXml", 8, true, true, true, "signXml", xmlSignature},
    {"sign", 4, true, true, true, "sign", signature},
    {"status", 7, true, true, false, "status", status},
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

// Runs a step of a request; memory that ran out inside cJSON on the way ends it as
// std::bad_alloc would.
template <typename Step>
auto failingOnJsonExhaustion(Step step) -> decltype(step()) {
    const std::size_t failuresBefore = jsonAllocationFailures();
    auto result = step();
    if (jsonAllocationFailures() != failuresBefore) throw std::bad_alloc();
    return result;
}

}  // namespace

bool ParsedRequest::readsStore() const {
    return action_ != nullptr && action_->readsStore;
}

ParsedRequest parseRequest(std::string_view requestText, Endpoint endpoint) {
    return failingOnJsonExhaustion([&] {
        ParsedRequest request;
        request.json_.reset(cJSON_ParseWithLength(requestText.data(), requestText.size()));
        const char* name = stringMember(request.json_.get(), "action");
        if (name == nullptr) return request;
        request.action_ = findAction(name, endpoint);
        if (request.action_ != nullptr && endpoint == Endpoint::Http)
            writeLog(request.action_->httpLogLine);
        return request;
    });
}

DispatchResult runRequest(ParsedRequest& request, std::string_view requestText,
                          const RequestContext& context) {
    if (request.action_ == nullptr) return {};
    return failingOnJsonExhaustion([&] {
        return request.action_->handler({request.json_.get(), requestText, context});
    });
}

DispatchResult dispatchAction(std::string_view requestText, const RequestContext& context) {
    ParsedRequest request = parseRequest(requestText, context.endpoint);
    return runRequest(request, requestText, context);
}

}  // namespace quillmark
