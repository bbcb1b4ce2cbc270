#pragma once

#include <cstddef>
#include <string_view>

namespace quillmark {

struct QueuedMessage;

// Messages waiting to be written on one WebSocket connection, oldest first. Each message is
// one heap block: its list node, LWS_PRE bytes of headroom where the library builds the
// frame header, then the text and a NUL. Plain data, so that it can live in the library's
// zero-filled per-connection record; clearMessages frees it on every path.
struct MessageQueue {
    QueuedMessage* first;
    QueuedMessage* last;
    std::size_t count;
};

// Appends a copy of the text, byte for byte. False when memory runs out.
bool queueMessage(MessageQueue& queue, std::string_view text);

// The oldest message's text, with LWS_PRE writable bytes in front of it, and its length;
// null when the queue is empty.
unsigned char* oldestMessage(const MessageQueue& queue, std::size_t& length);

// Frees the oldest message.
void dropOldestMessage(MessageQueue& queue);

// Frees every message and leaves the queue empty.
void clearMessages(MessageQueue& queue);

}  // namespace quillmark
