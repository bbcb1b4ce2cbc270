#include "server/message_queue.h"

#include <libwebsockets.h>

#include <cstdlib>
#include <cstring>

namespace quillmark {

struct QueuedMessage {
    QueuedMessage* next;
    std::size_t length;
};

namespace {

unsigned char* textOf(QueuedMessage* message) {
    return reinterpret_cast<unsigned char*>(message + 1) + LWS_PRE;
}

}  // namespace

bool queueMessage(MessageQueue& queue, std::string_view text) {
    auto* message =
        static_cast<QueuedMessage*>(std::malloc(sizeof(QueuedMessage) + LWS_PRE + text.size() + 1));
    if (message == nullptr) return false;
    message->next = nullptr;
    message->length = text.size();
    std::memcpy(textOf(message), text.data(), text.size());
    textOf(message)[text.size()] = '\0';

    if (queue.last != nullptr)
        queue.last->next = message;
    else
        queue.first = message;
    queue.last = message;
    ++queue.count;
    return true;
}

unsigned char* oldestMessage(const MessageQueue& queue, std::size_t& length) {
    if (queue.first == nullptr) return nullptr;
    length = queue.first->length;
    return textOf(queue.first);
}

void dropOldestMessage(MessageQueue& queue) {
    QueuedMessage* oldest = queue.first;
    if (oldest == nullptr) return;
    queue.first = oldest->next;
    if (queue.first == nullptr) queue.last = nullptr;
    --queue.count;
    std::free(oldest);
}

void clearMessages(MessageQueue& queue) {
    while (queue.first != nullptr)
        dropOldestMessage(queue);
}

}  // namespace quillmark
