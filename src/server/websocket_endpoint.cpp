#include "server/websocket_endpoint.h"

#include <new>

#include "protocol/dispatcher.h"
#include "server/connection_table.h"
#include "server/store_workers.h"

namespace quillmark {
namespace {

void releaseSession(lws* wsi, SignatureSession& session) {
    if (hasTicket(session.ticket)) {
        storeWorkersOf(wsi).abandon(session.ticket);
        connectionTableOf(wsi).tickets().close(session.ticket);
    }
    session.working = 0;
    releaseRequestText(session.request);
    clearMessages(session.replies);
    session.oldestWritten = 0;
}

// Reading pauses while kMaxWaitingMessages replies and requests wait, and goes on below that.
void updateReading(lws* wsi, SignatureSession& session) {
    const int full = session.replies.count + session.working >= kMaxWaitingMessages;
    if (full == session.readingPaused) return;
    session.readingPaused = full;
    lws_rx_flow_control(wsi, !full);
}

// Queues a message and asks for a writeable callback to send it. Replies are written from
// that callback only, one per call, so that they leave in order and never interleave with
// a message the library is still sending.
bool sendLater(lws* wsi, SignatureSession& session, std::string_view text) {
    if (!queueMessage(session.replies, text)) return false;
    updateReading(wsi, session);
    lws_callback_on_writable(wsi);
    return true;
}

// The store workers' reply to the oldest of the connection's requests they had; the
// connection is closed when the request failed or its reply cannot be queued.
void deliverWork(lws* wsi, FinishedWork& work) {
    auto& session = *static_cast<SignatureSession*>(lws_wsi_user(wsi));
    --session.working;
    const bool answered = !work.failed && (!work.reply || sendLater(wsi, session, *work.reply));
    updateReading(wsi, session);
    if (!answered) lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

// The message goes to the store workers, which answer the connection's requests in order.
void handToWorkers(lws* wsi, SignatureSession& session, ParsedRequest request) {
    storeWorkersOf(wsi).submit(makeWorkOrder(session.ticket, Endpoint::WebSocket,
                                             std::move(request), originText(session.origin),
                                             session.request));
    ++session.working;
    updateReading(wsi, session);
}

// A piece of a message. The request is the whole message: pieces are joined until the
// library marks the last one, then the message is dispatched. An oversized message is
// dropped and, once it has ended, the connection is closed with "message too big". The close
// is made from the writeable callback: the last pieces of a compressed message come from the
// library's inflate loop, which ignores the receive callback's request to close.
int onReceive(lws* wsi, SignatureSession& session, const char* piece, std::size_t length) {
    if (!session.dropping && !appendRequestPiece(session.request, piece, length)) {
        session.dropping = 1;
    }
    if (!lws_is_final_fragment(wsi)) return 0;
    if (session.dropping) {
        session.closing = 1;
        lws_callback_on_writable(wsi);
        return 0;
    }

    const std::string_view text = requestView(session.request);
    ParsedRequest request = parseRequest(text, Endpoint::WebSocket);
    // Replies leave in the order of their requests: one that follows a request the workers
    // still have (at a dialog, or signing a large document) waits behind it there.
    if (request.readsStore() || session.working != 0) {
        handToWorkers(wsi, session, std::move(request));
        return 0;
    }
    const DispatchResult result =
        runRequest(request, text, {Endpoint::WebSocket, originText(session.origin)});
    releaseRequestText(session.request);
    if (result.reply && !sendLater(wsi, session, *result.reply)) return -1;
    return 0;
}

int onWriteable(lws* wsi, SignatureSession& session) {
    if (session.closing) {
        lws_close_reason(wsi, LWS_CLOSE_STATUS_MESSAGE_TOO_LARGE, nullptr, 0);
        return -1;
    }
    if (session.oldestWritten) {
        dropOldestMessage(session.replies);
        session.oldestWritten = 0;
        updateReading(wsi, session);
    }
    std::size_t length = 0;
    unsigned char* text = oldestMessage(session.replies, length);
    if (text == nullptr) return 0;
    if (lws_write(wsi, text, length, LWS_WRITE_TEXT) < 0) return -1;
    session.oldestWritten = 1;
    lws_callback_on_writable(wsi);  // to free it, and to write the next one
    return 0;
}

// Close codes a peer may send (RFC 6455 7.4 and the IANA registry): the defined ones and those
// kept for libraries and applications. A close that carries any other code, or a code cut to
// one byte, is answered with a protocol error instead of being echoed.
bool validCloseCode(const unsigned char* payload, std::size_t length) {
    if (length == 0) return true;
    if (length == 1) return false;
    const unsigned code = payload[0] << 8 | payload[1];
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

int onPeerClose(lws* wsi, const void* payload, std::size_t length) {
    if (validCloseCode(static_cast<const unsigned char*>(payload), length)) return 0;
    lws_close_reason(wsi, LWS_CLOSE_STATUS_PROTOCOL_ERR, nullptr, 0);
    return -1;
}

int serveSignature(lws* wsi, lws_callback_reasons reason, SignatureSession* session, void* in,
                   std::size_t len) {
    switch (reason) {
        case LWS_CALLBACK_HTTP_CONFIRM_UPGRADE:
            // An upgrade is a GET: the library would switch any other method too, and then
            // fail on the request it no longer has.
            return lws_hdr_total_length(wsi, WSI_TOKEN_GET_URI) > 0 ? 0 : -1;
        case LWS_CALLBACK_PROTOCOL_INIT:
            lwsl_notice("Init\n");
            return 0;
        case LWS_CALLBACK_ESTABLISHED:
            lwsl_notice("Established\n");
            readRequestOrigin(wsi, session->origin);
            session->ticket = connectionTableOf(wsi).tickets().open(wsi, deliverWork);
            return sendLater(wsi, *session, kStartMessage) ? 0 : -1;
        case LWS_CALLBACK_SERVER_WRITEABLE:
            lwsl_notice("WRITEABLE\n");
            return onWriteable(wsi, *session);
        case LWS_CALLBACK_RECEIVE:
            lwsl_notice("RECEIVE\n");
            return onReceive(wsi, *session, static_cast<const char*>(in), len);
        case LWS_CALLBACK_WS_PEER_INITIATED_CLOSE:
            return onPeerClose(wsi, in, len);
        case LWS_CALLBACK_CLOSED:
            releaseSession(wsi, *session);
            return 0;
        default:
            return 0;
    }
}

}  // namespace

int callbackSignature(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                      std::size_t len) {
    try {
        return serveSignature(wsi, reason, static_cast<SignatureSession*>(user), in, len);
    } catch (const std::bad_alloc&) {
        // Out of memory: the message ends unanswered and the connection closes (its record is
        // freed when the library reports it closed); the agent serves on.
        return -1;
    }
}

}  // namespace quillmark
