#include "protocol/cert_requests.h"

namespace quillmark {

// Certificates and signing arrive with the certificate store; until then these actions
// produce no reply.
OptionalText handleGetCertsRequest() {
    return std::nullopt;
}

OptionalText handleSignRequest(const cJSON*, const char*, Endpoint) {
    return std::nullopt;
}

}  // namespace quillmark
