#include "protocol/cert_requests.h"

#include <cmath>

#include "platform/foreground_window.h"
#include "protocol/cert_replies.h"
#include "support/json.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr std::string_view kStartMarker = "\"dataBase64\":\"";
constexpr std::string_view kEndMarker = "\",\"cms\"";

// The sign request's reply, or none.
OptionalText replyToSign(const cJSON* request, const char* requestText,
                         const RequestContext& context) {
    const bool webSocket = context.endpoint == Endpoint::WebSocket;
    const char* serialNumber = stringMember(request, "serialNumber");
    const bool cms = flagIsSet(cJSON_GetObjectItem(request, "cms"));
    const cJSON* dataBase64 = cJSON_GetObjectItem(request, "dataBase64");
    const cJSON* dataHex = cJSON_GetObjectItem(request, "dataHex");
    const bool secure = webSocket || flagIsSet(cJSON_GetObjectItem(request, "secure"));

    const std::string extracted = extractDataBase64Text(requestText);
    writeLog("string database64Str ");
    writeLog(extracted);

    if (serialNumber == nullptr || (dataBase64 == nullptr && dataHex == nullptr))
        return std::nullopt;
    const char* base64Argument = nullptr;
    const char* hexArgument = nullptr;
    if (dataBase64 != nullptr)
        base64Argument = webSocket ? extracted.c_str() : stringValue(dataBase64);
    else
        hexArgument = stringValue(dataHex);

    const SignOutput output = cms ? SignOutput::Cms : SignOutput::Raw;
    return signReply(
        output, sign({hexArgument, base64Argument, serialNumber, secure, output, context.origin}));
}

}  // namespace

OptionalText handleGetCertsRequest() {
    return certificateListReply(listCertificates());
}

std::string extractDataBase64Text(std::string_view requestText) {
    const std::size_t start = requestText.find(kStartMarker);
    if (start == std::string_view::npos) return std::string();
    const std::size_t payload = start + kStartMarker.size();
    const std::size_t end = requestText.find(kEndMarker);
    const std::size_t length =
        end != std::string_view::npos && end >= payload ? end - payload : std::string_view::npos;
    return std::string(requestText.substr(payload, length));
}

bool flagIsSet(const cJSON* item) {
    if (cJSON_IsTrue(item)) return true;
    return cJSON_IsNumber(item) && std::fabs(item->valuedouble) >= 1.0;
}

OptionalText handleSignRequest(const cJSON* request, const char* requestText,
                               const RequestContext& context) {
    // A PIN dialog may take the focus while the key is used: the window the user was in gets
    // it back before the reply goes out, whether or not anything was signed.
    const ForegroundWindow foreground = ForegroundWindow::remember();
    OptionalText reply = replyToSign(request, requestText, context);
    foreground.restore();
    return reply;
}

}  // namespace quillmark
