#include "protocol/dispatcher.h"

#include <gtest/gtest.h>

using namespace quillmark;

namespace {

constexpr char kVersionReply[] =
    "{\n\t\"action\":\t\"getVersion\",\n\t\"version\":\t\"v1.00.04\"\n}";
constexpr char kRestartReply[] = "{\n\t\"action\":\t\"restart\"\n}";
constexpr char kLocalStatusReply[] =
    "{\n\t\"action\":\t\"status\",\n\t\"version\":\t\"v1.00.04\",\n\t\"site\":\t\"allowed\",\n"
    "\t\"lastFailure\":\t\"none\"\n}";

}  // namespace

TEST(Dispatcher, AnswersGetVersionWithTheFormattedReply) {
    const auto result = dispatchAction(R"({"action":"getVersion"})", {Endpoint::Http});
    EXPECT_EQ(result.reply, kVersionReply);
    EXPECT_FALSE(result.restart);
}

TEST(Dispatcher, MatchesActionPrefixesButOnlyExactRestart) {
    EXPECT_EQ(dispatchAction(R"({"action":"getVersionXYZ"})", {Endpoint::Http}).reply,
              kVersionReply);
    EXPECT_EQ(dispatchAction(R"({"ACTION":"getVersion"})", {Endpoint::Http}).reply, kVersionReply);
    EXPECT_FALSE(dispatchAction(R"({"action":"getversion"})", {Endpoint::Http}).reply);
    EXPECT_FALSE(dispatchAction(R"({"action":"restarts"})", {Endpoint::Http}).reply);

    const auto restart = dispatchAction(R"({"action":"restart"})", {Endpoint::Http});
    EXPECT_EQ(restart.reply, kRestartReply);
    EXPECT_TRUE(restart.restart);
}

TEST(Dispatcher, ServesNeitherVersionNorRestartOverWebSocket) {
    EXPECT_FALSE(dispatchAction(R"({"action":"getVersion"})", {Endpoint::WebSocket}).reply);
    const auto restart = dispatchAction(R"({"action":"restart"})", {Endpoint::WebSocket});
    EXPECT_FALSE(restart.reply);
    EXPECT_FALSE(restart.restart);
}

TEST(Dispatcher, AnswersStatusOverBothEndpointsByItsExactName) {
    for (const Endpoint endpoint : {Endpoint::Http, Endpoint::WebSocket}) {
        EXPECT_EQ(dispatchAction(R"({"action":"status"})", {endpoint}).reply, kLocalStatusReply);
        EXPECT_FALSE(dispatchAction(R"({"action":"statuses"})", {endpoint}).reply);
    }
}

TEST(Dispatcher, IgnoresRequestsWithoutAStringAction) {
    for (const char* request : {"", "not json", "[1,2]", "{}", R"({"action":7})",
                                R"({"action":null})", R"({"action":{"a":1}})", "\"getVersion\""}) {
        EXPECT_FALSE(dispatchAction(request, {Endpoint::Http}).reply) << request;
        EXPECT_FALSE(dispatchAction(request, {Endpoint::WebSocket}).reply) << request;
    }
}
