#include "policies/chromium_policy.h"

#include "support/json.h"

namespace quillmark {

OptionalText chromiumPolicyText(const std::vector<std::string>& origins) {
    const JsonPtr document(cJSON_CreateObject());
    if (!document) return std::nullopt;
    for (const char* name : kChromiumPolicyNames) {
        cJSON* list = cJSON_AddArrayToObject(document.get(), name);
        if (list == nullptr) return std::nullopt;
        for (const std::string& origin : origins)
            if (!cJSON_AddItemToArray(list, cJSON_CreateString(origin.c_str())))
                return std::nullopt;
    }
    OptionalText text = printJson(document.get());
    if (text) *text += "\n";
    return text;
}

bool chromiumPolicyNames(const std::string& text, const std::string& origin) {
    const JsonPtr document(cJSON_Parse(text.c_str()));
    for (const char* name : kChromiumPolicyNames) {
        const cJSON* list = cJSON_GetObjectItemCaseSensitive(document.get(), name);
        if (!cJSON_IsArray(list)) continue;
        const cJSON* entry = nullptr;
        cJSON_ArrayForEach(entry, list) {
            const char* pattern = stringValue(entry);
            if (pattern != nullptr && (origin == pattern || origin + "/" == pattern)) return true;
        }
    }
    return false;
}

}  // namespace quillmark
