#include "server/websocket_endpoint.h"

#include <new>

#include "protocol/dispatcher.h"

namespace quillmark {
namespace {

void releaseSession(SignatureSession& session) {
    releaseRequestText(session.request);
    clearMessages(session.replies);
    session.oldestWritten = 0;
}

// Queues a message and asks for a writeable callback to send it. Replies are written from
// that callback only, one per call, so that they leave in order and never interleave with
// a message the library is still sending.
bool sendLater(lws* wsi, SignatureSession& session, std::string_view text) {
    if (!queueMessage(session.replies, text)) return false;
    if (session.replies.count == kMaxWaitingMessages) lws_rx_flow_control(wsi, 0);
    lws_callback_on_writable(wsi);
    return true;
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

    const DispatchResult result = dispatchAction(requestView(session.request),
                                                 {Endpoint::WebSocket, originText(session.origin)});
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
        if (session.replies.count == kMaxWaitingMessages - 1) lws_rx_flow_control(wsi, 1);
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
            releaseSession(*session);
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
