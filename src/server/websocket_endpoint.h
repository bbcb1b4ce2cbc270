#pragma once

#include <libwebsockets.h>

#include <cstddef>

#include "server/connection_tickets.h"
#include "server/message_queue.h"
#include "server/request_origin.h"
#include "server/request_text.h"

namespace quillmark {

// Per-connection record of the "signature" protocol. libwebsockets allocates it zero-filled
// and never constructs it, so it holds plain data; the connection's close frees it.
struct SignatureSession {
    RequestText request;   // pieces of the message being received
    MessageQueue replies;  // the start message and the replies, written in this order
    // The oldest queued message has been handed to lws_write. It stays allocated until the
    // next writeable callback: permessage-deflate may still be reading it until then.
    int oldestWritten;
    // The message being received grew past kMaxRequestLength (or memory ran out). Its
    // remaining pieces are read and dropped, and the connection is closed after the last
    // one: closing at once would reset a client that is still sending, and it would never
    // receive the close code that tells it why.
    int dropping;
    // The dropped message has ended: the next writeable callback closes with "message too big".
    int closing;
    // The handshake's Origin header: the page that asks, named by the PIN dialog.
    RequestOrigin origin;
    // Names the connection to the store workers, and how many of its requests they have.
    ConnectionTicket ticket;
    std::size_t working;
    // Reading is paused: kMaxWaitingMessages requests and replies wait for the client.
    int readingPaused;
};

// A client that sends requests without reading the replies is not read from while this many
// messages (replies, and requests the workers have) wait for it, so that what the agent
// holds for one connection stays bounded.
constexpr std::size_t kMaxWaitingMessages = 8;

// The store workers have requests of the connection, or messages wait to be written.
inline bool signatureRequestsPending(const SignatureSession& session) {
    return session.working != 0 || session.replies.count != 0;
}

// The exact greeting every connection receives once, before any reply.
constexpr char kStartMessage[] = "{ \"action\" : \"start\" }";

// The "signature" WebSocket protocol: greets each connection with the start message and
// answers every whole request message (getCerts, sign) with one text message.
int callbackSignature(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len);

}  // namespace quillmark
