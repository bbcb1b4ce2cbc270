#pragma once

#include <libwebsockets.h>

#include <chrono>
#include <cstddef>
#include <cstdint>

#include "server/connection_tickets.h"
#include "server/request_origin.h"
#include "server/request_text.h"

namespace quillmark {

// A request that gets no reply, or whose body stops arriving, is closed after this long.
constexpr int kRequestTimeoutSeconds = 5;

// A body still incomplete this long after its headers closes the connection.
constexpr std::chrono::seconds kBodyTimeLimit(60);

// Per-connection record of protocol-http. libwebsockets allocates it zero-filled and never
// constructs it, so it holds plain owning pointers that releaseRequest() frees on every path.
struct HttpSession {
    RequestText body;             // body received so far
    unsigned char* reply;         // LWS_PRE bytes of headroom, then the headers and body to write
    std::size_t replyLength;      // of the headers and body
    std::size_t replyBodyLength;  // of the body alone
    int restartPending;           // a restart was answered: start a new copy after the body
    int bodyComplete;             // the whole body has arrived
    int answering;                // a reply has been composed for it
    int bytesAfterBody;           // more bytes followed the body: close after the reply
    int working;                  // the store workers have the request
    int readingPaused;            // a whole request came: nothing is read until it is answered
    int replied;                  // the reply has been written
    std::int64_t bodyStarted;     // steady-clock ticks when the headers were complete
    RequestOrigin origin;         // the request's Origin header, for the PIN dialog
    ConnectionTicket ticket;      // names the connection to the store workers
};

// The store workers have the request, or its reply waits to be written.
inline bool httpRequestPending(const HttpSession& session) {
    return session.working || session.replyLength != 0;
}

// Collects a POSTed JSON body on any path, dispatches it and answers 200 application/json.
int callbackHttp(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len);

// While a request is worked on, a peer that finished sending may have gone altogether: an
// interim "100 Continue", which HTTP/1.1 clients skip, draws a reset from a closed socket, and
// the library then closes the connection. Written at each check, as the peer may leave after
// the first; nothing for other connections.
void probeHttpPeer(lws* wsi);

}  // namespace quillmark
