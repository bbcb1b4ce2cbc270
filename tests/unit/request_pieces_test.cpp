#include <gtest/gtest.h>
#include <libwebsockets.h>

#include <cstring>
#include <string>

#include "server/message_queue.h"
#include "server/request_text.h"

using namespace quillmark;

TEST(RequestText, JoinsPiecesIntoOneNulTerminatedText) {
    RequestText request{};
    EXPECT_TRUE(appendRequestPiece(request, "", 0));
    EXPECT_EQ(request.text, nullptr);
    const std::string big(5000, 'x');
    for (const std::string& piece : {std::string("{\"a\":"), big, std::string("}")})
        ASSERT_TRUE(appendRequestPiece(request, piece.data(), piece.size()));
    EXPECT_EQ(std::string(request.text), "{\"a\":" + big + "}");
    EXPECT_EQ(request.length, big.size() + 6);
    releaseRequestText(request);
    EXPECT_EQ(request.text, nullptr);
    EXPECT_EQ(request.length, 0u);
}

TEST(RequestText, RefusesToGrowPastTheLimitAndFreesWhatItHad) {
    RequestText request{};
    ASSERT_TRUE(appendRequestPiece(request, "{", 1));
    // The length is checked before the piece is read, so no real 128 MiB buffer is needed.
    const char piece = ' ';
    EXPECT_FALSE(appendRequestPiece(request, &piece, kMaxRequestLength));
    EXPECT_EQ(request.text, nullptr);
    EXPECT_EQ(request.length, 0u);
}

TEST(MessageQueue, KeepsOrderBytesAndHeadroom) {
    MessageQueue queue{};
    std::size_t length = 0;
    EXPECT_EQ(oldestMessage(queue, length), nullptr);

    const std::string withNul("a\0%s%n", 6);
    ASSERT_TRUE(queueMessage(queue, "first"));
    ASSERT_TRUE(queueMessage(queue, withNul));
    ASSERT_TRUE(queueMessage(queue, ""));

    unsigned char* text = oldestMessage(queue, length);
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), length), "first");
    std::memset(text - LWS_PRE, 0xA5, LWS_PRE);  // the library writes its frame header here
    dropOldestMessage(queue);

    text = oldestMessage(queue, length);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(text), length), withNul);
    dropOldestMessage(queue);
    EXPECT_NE(oldestMessage(queue, length), nullptr);
    EXPECT_EQ(length, 0u);

    ASSERT_TRUE(queueMessage(queue, "later"));
    clearMessages(queue);
    EXPECT_EQ(oldestMessage(queue, length), nullptr);
    EXPECT_EQ(queue.last, nullptr);
}
