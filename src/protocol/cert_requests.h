#pragma once

#include <cjson/cJSON.h>

#include "protocol/endpoint.h"
#include "support/bytes.h"

namespace quillmark {

// The getCerts entry: the certificate list reply.
OptionalText handleGetCertsRequest();

// The sign entry: reads the request's members and calls the raw or CMS signing operation.
OptionalText handleSignRequest(const cJSON* request, const char* requestText, Endpoint endpoint);

}  // namespace quillmark
