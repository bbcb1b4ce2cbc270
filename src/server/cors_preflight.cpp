#include "server/cors_preflight.h"

#include <string>
#include <vector>

#include "server/connection_table.h"

namespace quillmark {
namespace {

// Header names the library does not know are looked up with their colon.
constexpr char kRequestMethod[] = "access-control-request-method:";
constexpr char kAllowMethods[] = "access-control-allow-methods:";
constexpr char kAllowHeaders[] = "access-control-allow-headers:";
constexpr char kAllowPrivateNetwork[] = "access-control-allow-private-network:";
constexpr std::size_t kHeaderRoom = 8192;

bool isPreflight(lws* wsi) {
    return lws_hdr_total_length(wsi, WSI_TOKEN_OPTIONS_URI) > 0 &&
           lws_hdr_custom_length(wsi, kRequestMethod, sizeof kRequestMethod - 1) >= 0;
}

// The value of Access-Control-Request-Headers, empty when there is none.
std::string requestedHeaders(lws* wsi) {
    const int length = lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_AC_REQUEST_HEADERS);
    if (length <= 0) return {};
    std::vector<char> value(static_cast<std::size_t>(length) + 1);
    const int copied = lws_hdr_copy(wsi, value.data(), static_cast<int>(value.size()),
                                    WSI_TOKEN_HTTP_AC_REQUEST_HEADERS);
    return copied > 0 ? std::string(value.data(), static_cast<std::size_t>(copied)) : std::string();
}

bool addHeader(lws* wsi, const char* name, const std::string& value, unsigned char** position,
               unsigned char* end) {
    return lws_add_http_header_by_name(wsi, reinterpret_cast<const unsigned char*>(name),
                                       reinterpret_cast<const unsigned char*>(value.data()),
                                       static_cast<int>(value.size()), position, end) == 0;
}

bool writePreflightAnswer(lws* wsi) {
    std::vector<unsigned char> buffer(LWS_PRE + kHeaderRoom);
    unsigned char* const start = buffer.data() + LWS_PRE;
    unsigned char* position = start;
    unsigned char* const end = buffer.data() + buffer.size() - 1;
    const std::string headers = requestedHeaders(wsi);

    static const unsigned char kAnyOrigin[] = "*";
    if (lws_add_http_header_status(wsi, HTTP_STATUS_NO_CONTENT, &position, end) ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_ACCESS_CONTROL_ALLOW_ORIGIN, kAnyOrigin,
                                     sizeof kAnyOrigin - 1, &position, end) ||
        !addHeader(wsi, kAllowMethods, "POST", &position, end) ||
        (!headers.empty() && !addHeader(wsi, kAllowHeaders, headers, &position, end)) ||
        !addHeader(wsi, kAllowPrivateNetwork, "true", &position, end) ||
        lws_finalize_http_header(wsi, &position, end)) {
        return false;
    }
    return lws_write(wsi, start, static_cast<std::size_t>(position - start),
                     LWS_WRITE_HTTP_HEADERS) >= 0;
}

// A preflight has no body. One that carries one is answered and closed: the installed library,
// asked to go on to the next request, loops for good when a body and another request follow.
bool carriesBody(lws* wsi) {
    return lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH) > 0 ||
           lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING) > 0;
}

}  // namespace

int answerCorsPreflight(lws* wsi) {
    if (!isPreflight(wsi)) return 0;
    if (!writePreflightAnswer(wsi) || carriesBody(wsi)) return -1;
    if (lws_http_transaction_completed(wsi)) return -1;
    connectionTableOf(wsi).awaitNextRequestHead(wsi);
    return 0;
}

}  // namespace quillmark
