#pragma once

#include <cjson/cJSON.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "support/bytes.h"

namespace quillmark {

// cJSON reports a failed allocation only as a null result, as it does text that is not JSON.
// Its allocations go through a hook that counts the failures of the calling thread, so that
// a request can end on them as on std::bad_alloc.
std::size_t jsonAllocationFailures();

struct JsonDeleter {
    void operator()(cJSON* item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

// The formatted text of a reply object (tabs and line feeds); no result if printing fails.
inline OptionalText printJson(const cJSON* item) {
    std::unique_ptr<char, decltype(&std::free)> text(cJSON_Print(item), &std::free);
    if (!text) return std::nullopt;
    return std::string(text.get());
}

// A reply object whose first member is "action".
inline JsonPtr newReply(const char* action) {
    JsonPtr reply(cJSON_CreateObject());
    if (reply) cJSON_AddItemToObject(reply.get(), "action", cJSON_CreateString(action));
    return reply;
}

// The text of a string item, or null when the item is absent or not a string.
inline const char* stringValue(const cJSON* item) {
    return cJSON_IsString(item) ? item->valuestring : nullptr;
}

// The text of a string member, or null when the member is absent or not a string.
inline const char* stringMember(const cJSON* object, const char* name) {
    return stringValue(cJSON_GetObjectItem(object, name));
}

}  // namespace quillmark
