#pragma once

#include <cjson/cJSON.h>

#include <string_view>

#include "protocol/endpoint.h"
#include "support/bytes.h"

namespace quillmark {

// The getCerts entry: the certificate list reply. A site the user does not allow is asked
// first (consentGiven); refused, it gets the reply of a personal store that did not open.
OptionalText handleGetCertsRequest(const RequestContext& context);

// The sign entry: reads the request's members and calls the raw or CMS signing operation.
// No reply when the request has neither `dataBase64` nor `dataHex`, or no string
// `serialNumber`. Over WebSocket secure mode is always on and the Base64 data is the raw
// text extraction. The request's Base64 member is used up: decoded over (HTTP) or freed.
// A site the user does not allow is asked first, before the serial is looked for
// (consentGiven); refused, it gets the reply of a private key that could not be had. The PIN
// dialog, if one is needed, names the context's origin.
OptionalText handleSignRequest(cJSON* request, std::string_view requestText,
                               const RequestContext& context);

// The signXml entry: signs the XML document of `xmlBase64` (Base64; enciphered in secure mode,
// and always over WebSocket) with the certificate of `serialNumber`, through the same consent,
// PIN dialogs and failures as sign. Options: `referenceId`, `parentPath`, `signatureId` (strings),
// `signingTime` (a flag, on when absent) and `canonicalization` ("inclusive", the default, or
// "exclusive"). Always replies: a document or an option refused gets `error` "invalid XML: "
// and the reason.
OptionalText handleSignXmlRequest(cJSON* request, const RequestContext& context);

// The Base64 payload cut from the raw request text: from just after "dataBase64":" up to the
// first "","cms"" in the text when that lies at or after the payload's start, else to the end.
// Empty when the start marker is absent. Not JSON-unescaped.
std::string_view extractDataBase64Text(std::string_view requestText);

// A flag member (`cms`, `secure`) is set when present with a nonzero integer value: true,
// or a number whose value truncated toward zero is not 0.
bool flagIsSet(const cJSON* item);

}  // namespace quillmark
