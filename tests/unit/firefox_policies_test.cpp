#include "policies/firefox_policies.h"

#include <gtest/gtest.h>

#include "support/json.h"

namespace quillmark {
namespace {

// An administrator's file, with policies around ours and an entry of their own.
const std::string kTheirs =
    R"({"policies": {"DisableTelemetry": true, "LocalNetworkAccess": {"Enabled": true,)"
    R"( "SkipDomains": ["intranet.example"], "Locked": false}, "Proxy": {"Mode": "system"}},)"
    R"( "comment": 1})";

// The text without blanks, keys in the order the text has them.
std::string compact(const OptionalText& text) {
    const JsonPtr document(cJSON_Parse(text.value_or("null").c_str()));
    const std::unique_ptr<char, decltype(&std::free)> printed(
        cJSON_PrintUnformatted(document.get()), &std::free);
    return printed ? printed.get() : "(not JSON)";
}

TEST(FirefoxPoliciesTest, MergesOursKeepingTheRestInOrderAndRemovesOnlyOurs) {
    FirefoxMerge added = mergeFirefoxPolicies(kTheirs, {"b.example", "intranet.example"}, {});
    ASSERT_EQ(added.problem, "");
    EXPECT_TRUE(added.changed);
    EXPECT_EQ(compact(added.text),
              R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":{"Enabled":true,)"
              R"("SkipDomains":["intranet.example","b.example"],"Locked":false},)"
              R"("Proxy":{"Mode":"system"}},"comment":1})");
    // An entry the administrator wrote is never counted as ours, so never removed.
    EXPECT_EQ(added.written, std::vector<std::string>{"b.example"});

    const FirefoxMerge again = mergeFirefoxPolicies(added.text, {"b.example"}, added.written);
    EXPECT_FALSE(again.changed);
    EXPECT_EQ(again.text, added.text);

    const FirefoxMerge removed = mergeFirefoxPolicies(added.text, {}, added.written);
    EXPECT_TRUE(removed.changed);
    EXPECT_EQ(compact(removed.text),
              R"({"policies":{"DisableTelemetry":true,"LocalNetworkAccess":{"Enabled":true,)"
              R"("SkipDomains":["intranet.example"],"Locked":false},"Proxy":{"Mode":"system"}},)"
              R"("comment":1})");
    EXPECT_TRUE(removed.written.empty());
}

TEST(FirefoxPoliciesTest, CreatesTheFileAndRemovesItWhenOnlyOursWasLeft) {
    const FirefoxMerge created = mergeFirefoxPolicies(std::nullopt, {"a.example"}, {});
    EXPECT_EQ(compact(created.text),
              R"({"policies":{"LocalNetworkAccess":{"SkipDomains":["a.example"]}}})");
    const FirefoxMerge emptied = mergeFirefoxPolicies(created.text, {}, created.written);
    EXPECT_TRUE(emptied.changed);
    EXPECT_EQ(emptied.text, std::nullopt);
    EXPECT_FALSE(mergeFirefoxPolicies(std::nullopt, {}, {"gone.example"}).changed);
}

TEST(FirefoxPoliciesTest, RefusesAFileFirefoxWouldNotRead) {
    for (const auto& [text, problem] :
         {std::pair{"{\"policies\": {", "it is not JSON"},
          std::pair{"[]", "it is not a JSON object"},
          std::pair{R"({"policies": []})", "\"policies\" is not an object"},
          std::pair{R"({"policies": {"LocalNetworkAccess": true}})",
                    "\"LocalNetworkAccess\" is not an object"},
          std::pair{R"({"policies": {"LocalNetworkAccess": {"SkipDomains": "a"}}})",
                    "\"SkipDomains\" is not an array"},
          std::pair{R"({"policies": {"LocalNetworkAccess": {"SkipDomains": [1]}}})",
                    "\"SkipDomains\" holds something other than a string"},
          // Firefox reads the last of duplicates, and a NUL would cut what follows it.
          std::pair{R"({"policies": {}, "policies": {"DisableTelemetry": true}})",
                    "\"policies\" appears more than once"},
          std::pair{R"({"policies": {"LocalNetworkAccess": {}, "LocalNetworkAccess": {}}})",
                    "\"LocalNetworkAccess\" appears more than once"},
          std::pair{
              R"({"policies": {"LocalNetworkAccess": {"SkipDomains": [], "SkipDomains": []}}})",
              "\"SkipDomains\" appears more than once"},
          std::pair{R"({"policies": {"Homepage": {"URL": "https://a.example/\u0000tail"}}})",
                    "it holds a NUL character, which would be lost"},
          std::pair{R"({"policies": {"Homepage": {"URL": "\\\u0000"}}})",
                    "it holds a NUL character, which would be lost"}}) {
        const FirefoxMerge merge = mergeFirefoxPolicies(std::string(text), {"a.example"}, {});
        EXPECT_EQ(merge.problem, problem) << text;
        EXPECT_FALSE(merge.changed);
    }
    constexpr char kNulByte[] = "{\"policies\": {}}\0{\"b\": 1}";
    const std::string withNulByte(kNulByte, sizeof kNulByte - 1);
    EXPECT_EQ(mergeFirefoxPolicies(withNulByte, {"a.example"}, {}).problem,
              "it holds a NUL character, which would be lost");
    // An escaped backslash before "u0000" is no NUL.
    const std::string escapedBackslash = R"({"policies": {"Homepage": {"URL": "\\u0000"}}})";
    EXPECT_EQ(mergeFirefoxPolicies(escapedBackslash, {"a.example"}, {}).problem, "");
}

}  // namespace
}  // namespace quillmark
