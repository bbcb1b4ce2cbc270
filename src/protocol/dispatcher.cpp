#include "protocol/dispatcher.h"

#include <cstring>
#include <new>

#include "protocol/cert_requests.h"
#include "support/json.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr char kVersion[] = "v1.00.04";

// Action names are compared with a bound: a bound equal to the name's length accepts any
// value that begins with the name; "restart" counts its NUL and so matches only itself.
bool matches(const char* action, const char* name, std::size_t bound) {
    return std::strncmp(action, name, bound) == 0;
}

OptionalText versionReply() {
    JsonPtr reply = newReply("getVersion");
    if (!reply) return std::nullopt;
    cJSON_AddItemToObject(reply.get(), "version", cJSON_CreateString(kVersion));
    return printJson(reply.get());
}

OptionalText restartReply() {
    JsonPtr reply = newReply("restart");
    if (!reply) return std::nullopt;
    return printJson(reply.get());
}

DispatchResult dispatchHttp(const char* action, cJSON* request, std::string_view requestText) {
    if (matches(action, "restart", 9)) {
        writeLog("restart");
        DispatchResult result{restartReply()};
        result.restart = result.reply.has_value();
        return result;
    }
    if (matches(action, "getVersion", 10)) {
        writeLog("getVersion");
        return {versionReply()};
    }
    if (matches(action, "getCerts", 8)) {
        writeLog("getCerts");
        return {handleGetCertsRequest()};
    }
    if (matches(action, "sign", 4)) {
        writeLog("sign");
        return {handleSignRequest(request, requestText, Endpoint::Http)};
    }
    return {};
}

DispatchResult dispatchWebSocket(const char* action, cJSON* request, std::string_view requestText) {
    if (matches(action, "getCerts", 8)) return {handleGetCertsRequest()};
    if (matches(action, "sign", 4)) {
        return {handleSignRequest(request, requestText, Endpoint::WebSocket)};
    }
    return {};
}

DispatchResult dispatchParsed(std::string_view requestText, Endpoint endpoint) {
    const JsonPtr request(cJSON_ParseWithLength(requestText.data(), requestText.size()));
    const char* action = stringMember(request.get(), "action");
    if (action == nullptr) return {};
    return endpoint == Endpoint::Http ? dispatchHttp(action, request.get(), requestText)
                                      : dispatchWebSocket(action, request.get(), requestText);
}

}  // namespace

DispatchResult dispatchAction(std::string_view requestText, Endpoint endpoint) {
    const std::size_t failuresBefore = jsonAllocationFailures();
    DispatchResult result = dispatchParsed(requestText, endpoint);
    if (jsonAllocationFailures() != failuresBefore) throw std::bad_alloc();
    return result;
}

}  // namespace quillmark
