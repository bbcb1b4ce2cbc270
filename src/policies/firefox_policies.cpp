#include "policies/firefox_policies.h"

#include <algorithm>
#include <cstring>

#include "consent/origin_host.h"
#include "support/json.h"

namespace quillmark {
namespace {

constexpr char kPolicies[] = "policies";
constexpr char kLocalNetworkAccess[] = "LocalNetworkAccess";
constexpr char kSkipDomains[] = "SkipDomains";

bool holds(const std::vector<std::string>& list, const std::string& entry) {
    return std::find(list.begin(), list.end(), entry) != list.end();
}

// The document's objects down to SkipDomains; each is null when absent.
struct SkipDomainsPlace {
    cJSON* policies = nullptr;
    cJSON* localNetworkAccess = nullptr;
    cJSON* skipDomains = nullptr;
    std::vector<std::string> entries;
};

// The member of that name, or null; a problem when the name appears more than once, as Firefox
// would read the last one and a change to the first would be lost.
cJSON* onlyMember(cJSON* object, const char* name, std::string& problem) {
    cJSON* found = nullptr;
    cJSON* member = nullptr;
    cJSON_ArrayForEach(member, object) {
        if (member->string == nullptr || std::strcmp(member->string, name) != 0) continue;
        if (found != nullptr) problem = std::string("\"") + name + "\" appears more than once";
        found = member;
    }
    return problem.empty() ? found : nullptr;
}

// Finds SkipDomains, or says which part of the document is not of the type Firefox reads.
std::string findSkipDomains(cJSON* document, SkipDomainsPlace& place) {
    if (!cJSON_IsObject(document)) return "it is not a JSON object";
    std::string problem;
    place.policies = onlyMember(document, kPolicies, problem);
    if (place.policies == nullptr) return problem;
    if (!cJSON_IsObject(place.policies)) return "\"policies\" is not an object";
    place.localNetworkAccess = onlyMember(place.policies, kLocalNetworkAccess, problem);
    if (place.localNetworkAccess == nullptr) return problem;
    if (!cJSON_IsObject(place.localNetworkAccess)) return "\"LocalNetworkAccess\" is not an object";
    place.skipDomains = onlyMember(place.localNetworkAccess, kSkipDomains, problem);
    if (place.skipDomains == nullptr) return problem;
    if (!cJSON_IsArray(place.skipDomains)) return "\"SkipDomains\" is not an array";
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, place.skipDomains) {
        if (!cJSON_IsString(entry)) return "\"SkipDomains\" holds something other than a string";
        place.entries.emplace_back(entry->valuestring);
    }
    return {};
}

// The object under `parent` by that name, added at its end when missing.
cJSON* objectIn(cJSON* parent, const char* name) {
    if (cJSON* found = cJSON_GetObjectItemCaseSensitive(parent, name)) return found;
    return cJSON_AddObjectToObject(parent, name);
}

// Puts the entries in place of SkipDomains, adding the objects that lead to it; false when
// memory runs out.
bool storeEntries(cJSON* document, const std::vector<std::string>& entries) {
    cJSON* policies = objectIn(document, kPolicies);
    cJSON* localNetworkAccess = policies ? objectIn(policies, kLocalNetworkAccess) : nullptr;
    JsonPtr list(cJSON_CreateArray());
    if (!localNetworkAccess || !list) return false;
    for (const std::string& entry : entries)
        if (!cJSON_AddItemToArray(list.get(), cJSON_CreateString(entry.c_str()))) return false;
    const bool stored =
        cJSON_GetObjectItemCaseSensitive(localNetworkAccess, kSkipDomains)
            ? cJSON_ReplaceItemInObjectCaseSensitive(localNetworkAccess, kSkipDomains, list.get())
            : cJSON_AddItemToObject(localNetworkAccess, kSkipDomains, list.get());
    if (stored) list.release();
    return stored;
}

// Removes SkipDomains, and each object above it that is left empty.
void removeEntries(cJSON* document, const SkipDomainsPlace& place) {
    cJSON_DeleteItemFromObjectCaseSensitive(place.localNetworkAccess, kSkipDomains);
    if (place.localNetworkAccess->child != nullptr) return;
    cJSON_DeleteItemFromObjectCaseSensitive(place.policies, kLocalNetworkAccess);
    if (place.policies->child == nullptr)
        cJSON_DeleteItemFromObjectCaseSensitive(document, kPolicies);
}

// A NUL, as a byte or as the escape \u0000, ends a string the parser reads: written back, the
// file would lose what follows it.
bool holdsNul(const std::string& text) {
    if (text.find('\0') != std::string::npos) return true;
    for (std::size_t at = text.find("u0000"); at != std::string::npos;
         at = text.find("u0000", at + 1)) {
        std::size_t backslashes = 0;
        while (backslashes < at && text[at - 1 - backslashes] == '\\')
            ++backslashes;
        if (backslashes % 2 == 1) return true;
    }
    return false;
}

}  // namespace

FirefoxMerge mergeFirefoxPolicies(const OptionalText& existing,
                                  const std::vector<std::string>& wanted,
                                  const std::vector<std::string>& written) {
    FirefoxMerge merge;
    if (existing && holdsNul(*existing)) {
        merge.problem = "it holds a NUL character, which would be lost";
        return merge;
    }
    JsonPtr document(existing ? cJSON_ParseWithOpts(existing->c_str(), nullptr, true)
                              : cJSON_CreateObject());
    if (!document) {
        merge.problem = existing ? "it is not JSON" : "out of memory";
        return merge;
    }
    SkipDomainsPlace place;
    merge.problem = findSkipDomains(document.get(), place);
    if (!merge.problem.empty()) return merge;

    // Ours stay while wanted; the administrator's stay whatever the list says.
    std::vector<std::string> entries;
    for (const std::string& entry : place.entries)
        if (!holds(written, entry) || holds(wanted, entry)) entries.push_back(entry);
    for (const std::string& domain : wanted) {
        if (!holds(written, domain) && holds(place.entries, domain)) continue;
        merge.written.push_back(domain);
        if (!holds(entries, domain)) entries.push_back(domain);
    }
    merge.changed = entries != place.entries;
    if (!merge.changed) {
        merge.text = existing;
        return merge;
    }
    if (!entries.empty() && !storeEntries(document.get(), entries)) {
        merge.problem = "out of memory";
        return merge;
    }
    if (entries.empty()) removeEntries(document.get(), place);
    if (document->child == nullptr) return merge;
    merge.text = printJson(document.get());
    if (!merge.text)
        merge.problem = "out of memory";
    else
        *merge.text += "\n";
    return merge;
}

std::string firefoxDomainOf(const std::string& origin) {
    const auto span = originHost(origin);
    return span ? lowercaseHost(origin, *span) : std::string();
}

std::vector<std::string> firefoxSkipDomains(const std::string& text) {
    const JsonPtr document(cJSON_Parse(text.c_str()));
    SkipDomainsPlace place;
    if (!document || !findSkipDomains(document.get(), place).empty()) return {};
    return place.entries;
}

}  // namespace quillmark
