#include "server/http_endpoint.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "desktop/self_restart.h"
#include "protocol/dispatcher.h"
#include "server/connection_table.h"
#include "server/cors_preflight.h"
#include "server/peer_finished.h"
#include "server/store_workers.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr char kContentType[] = "application/json";
constexpr char kAllowAnyOrigin[] = "*";
constexpr char kInterimReply[] = "HTTP/1.1 100 Continue\r\n\r\n";
// Room for the status line and the three headers.
constexpr std::size_t kHeaderRoom = 1024;

void releaseRequest(HttpSession& session) {
    releaseRequestText(session.body);
    std::free(session.reply);
    session.reply = nullptr;
    session.replyLength = 0;
    session.replyBodyLength = 0;
}

// Composes status 200, the JSON headers and the body in one block, so that the reply leaves
// in one write; false when the headers cannot be composed or memory runs out.
bool composeReply(lws* wsi, HttpSession& session, const std::string& body) {
    auto* block = static_cast<unsigned char*>(std::malloc(LWS_PRE + kHeaderRoom + body.size()));
    if (block == nullptr) return false;
    session.reply = block;
    unsigned char* const start = block + LWS_PRE;
    unsigned char* position = start;
    unsigned char* const end = start + kHeaderRoom - 1;
    if (lws_add_http_header_status(wsi, HTTP_STATUS_OK, &position, end) ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_CONTENT_TYPE,
                                     reinterpret_cast<const unsigned char*>(kContentType),
                                     sizeof kContentType - 1, &position, end) ||
        lws_add_http_header_by_token(wsi, WSI_TOKEN_HTTP_ACCESS_CONTROL_ALLOW_ORIGIN,
                                     reinterpret_cast<const unsigned char*>(kAllowAnyOrigin),
                                     sizeof kAllowAnyOrigin - 1, &position, end) ||
        lws_add_http_header_content_length(wsi, body.size(), &position, end) ||
        lws_finalize_http_header(wsi, &position, end)) {
        return false;
    }
    std::memcpy(position, body.data(), body.size());
    session.replyLength = static_cast<std::size_t>(position - start) + body.size();
    session.replyBodyLength = body.size();
    return true;
}

// Framing the agent does not take apart: a body length given twice, or a length together with
// a transfer coding. Either leaves the end of the body in doubt, so the connection is closed.
bool framingInDoubt(lws* wsi) {
    return lws_hdr_fragment_length(wsi, WSI_TOKEN_HTTP_CONTENT_LENGTH, 1) > 0 ||
           lws_hdr_total_length(wsi, WSI_TOKEN_HTTP_TRANSFER_ENCODING) > 0;
}

std::int64_t nowTicks() {
    return std::chrono::steady_clock::now().time_since_epoch().count();
}

bool bodyOverdue(const HttpSession& session) {
    const std::chrono::steady_clock::duration elapsed(nowTicks() - session.bodyStarted);
    return elapsed > kBodyTimeLimit;
}

// A request that gets no reply is closed after the same time-out as one without a body.
int leaveUnanswered(lws* wsi) {
    lws_set_timeout(wsi, PENDING_TIMEOUT_HTTP_CONTENT, kRequestTimeoutSeconds);
    return 0;
}

// The library reports the end of the body again on every service pass while bytes after it
// wait unread. Until the whole reply is out they are a pipelined request (a client that waits
// for its reply cannot have sent them): the connection closes once the reply is out, without
// reading it (the installed library hands out pieces of a freed buffer for a request it takes
// from bytes it read along with an earlier body).
int onBytesAfterBody(HttpSession& session) {
    session.bytesAfterBody = 1;
    return session.answering || session.working ? 0 : -1;
}

bool isHttp11(lws* wsi) {
    char version[16] = {};
    return lws_hdr_copy(wsi, version, sizeof version, WSI_TOKEN_HTTP) > 0 &&
           std::strcmp(version, "HTTP/1.1") == 0;
}

// Reading stops once a whole request came, so that the library never sees the client finish
// sending (it closes at once, whatever is pending) while the request is worked on.
void setReading(lws* wsi, HttpSession& session, bool on) {
    session.readingPaused = !on;
    lws_rx_flow_control(wsi, on);
}

// Writes the composed reply; 1 closes the connection.
int writeReply(lws* wsi, HttpSession& session) {
    const int written =
        lws_write(wsi, session.reply + LWS_PRE, session.replyLength, LWS_WRITE_HTTP);
    // The count logged is the body's, the headers leaving with it; a failed write logs none.
    const int bodyWritten = written < 0 ? written : static_cast<int>(session.replyBodyLength);
    releaseRequest(session);
    writeLog(intToDecimal(bodyWritten));
    if (written < 0) return 1;
    if (session.restartPending) {
        session.restartPending = 0;  // one restart per answered request
        restartProcess();
    }
    return 0;
}

// Writes the reply and notes it as sent; 1 closes the connection. The log reads the same
// whether the reply leaves from the writeable callback or before it.
int sendReply(lws* wsi, HttpSession& session) {
    writeLog("LWS_CALLBACK_HTTP_WRITEABLE");
    if (writeReply(wsi, session) != 0) return 1;
    session.replied = 1;
    return 0;
}

// Answers the request with the reply, if it has one; 1 closes the connection. `late`: the
// reply comes after the pass that read the request, so the client may have finished sending
// meanwhile.
int answer(lws* wsi, HttpSession& session, const DispatchResult& result, bool late) {
    if (!result.reply) return leaveUnanswered(wsi);
    if (!composeReply(wsi, session, *result.reply)) {
        releaseRequest(session);
        return 1;
    }
    session.restartPending = result.restart;
    session.answering = 1;
    if (session.readingPaused) {
        // Reading resumes before the reply leaves, so that whatever the client sent after the
        // body is reported as such first; the writeable callback then sends the reply and
        // completes the transaction in one step, and the client's next request, which waits
        // for that reply, is read as a request of its own. The library closes as soon as it
        // reads a FIN: endConnection then sends the reply, but loses what does not fit the
        // socket, so a late reply, which may be large, goes at once to a client that has
        // finished sending, and the library sends its rest before the close.
        if (late && peerFinishedSending(lws_get_socket_fd(wsi)) && sendReply(wsi, session) != 0)
            return 1;
        setReading(wsi, session, true);
    }
    lws_callback_on_writable(wsi);
    return 0;
}

// The store workers' reply to the request; the connection is closed when the request failed
// or its reply cannot be composed.
void deliverWork(lws* wsi, FinishedWork& work) {
    auto& session = *static_cast<HttpSession*>(lws_wsi_user(wsi));
    session.working = 0;
    DispatchResult result;
    result.reply = std::move(work.reply);
    if (work.failed || answer(wsi, session, result, true) != 0)
        lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

// The request goes to the store workers with its body; no time-out cuts the connection while
// it is worked on or waits for the user.
int handToWorkers(lws* wsi, HttpSession& session, ParsedRequest request) {
    storeWorkersOf(wsi).submit(makeWorkOrder(session.ticket, Endpoint::Http, std::move(request),
                                             originText(session.origin), session.body));
    session.working = 1;
    lws_set_timeout(wsi, NO_PENDING_TIMEOUT, 0);
    return 0;
}

// The connection is gone, or no longer HTTP: work still waiting for it is abandoned. A reply
// still waiting for the writeable callback is sent first: the library closes as soon as it
// reads the client's FIN, and a client that has finished sending still reads its reply.
void endConnection(lws* wsi, HttpSession& session) {
    if (session.replyLength != 0 && !session.replied) sendReply(wsi, session);
    if (hasTicket(session.ticket)) {
        storeWorkersOf(wsi).abandon(session.ticket);
        connectionTableOf(wsi).tickets().close(session.ticket);
    }
    session.working = 0;
    releaseRequest(session);
}

int onBodyComplete(lws* wsi, HttpSession& session) {
    if (session.bodyComplete) return onBytesAfterBody(session);
    session.bodyComplete = 1;
    writeLog("LWS_CALLBACK_HTTP_BODY_COMPLETION");
    if (session.body.text == nullptr) return leaveUnanswered(wsi);  // no body: no request
    // Only HTTP/1.1 clients skip the interim reply that checks on a peer gone quiet.
    if (isHttp11(wsi)) setReading(wsi, session, false);
    const std::string_view body = requestView(session.body);
    writeLog(body);

    ParsedRequest request = parseRequest(body, Endpoint::Http);
    if (request.readsStore()) return handToWorkers(wsi, session, std::move(request));
    const DispatchResult result =
        runRequest(request, body, {Endpoint::Http, originText(session.origin)});
    releaseRequestText(session.body);
    return answer(wsi, session, result, false);
}

// Sends the reply once it is composed, and completes the transaction once all of it is out.
// Completing frees `session`: the protocol is bound anew, with a zeroed record.
int onWriteable(lws* wsi, HttpSession& session) {
    if (!session.replied) {
        if (session.replyLength == 0) return 0;
        if (sendReply(wsi, session) != 0) return 1;
    }
    // The library sends the rest of a partly written reply and calls again when it is out.
    if (lws_partial_buffered(wsi)) return 0;
    if (session.bytesAfterBody) return -1;
    if (lws_http_transaction_completed(wsi)) return -1;
    connectionTableOf(wsi).awaitNextRequestHead(wsi);
    return 0;
}

}  // namespace

void probeHttpPeer(lws* wsi) {
    auto& session = *static_cast<HttpSession*>(lws_wsi_user(wsi));
    if (!session.working || !session.readingPaused) return;
    unsigned char block[LWS_PRE + sizeof kInterimReply];
    std::memcpy(block + LWS_PRE, kInterimReply, sizeof kInterimReply - 1);
    if (lws_write(wsi, block + LWS_PRE, sizeof kInterimReply - 1, LWS_WRITE_HTTP) < 0)
        lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

namespace {

int serveHttp(lws* wsi, lws_callback_reasons reason, HttpSession* session, void* in,
              std::size_t len) {
    switch (reason) {
        case LWS_CALLBACK_HTTP:
            connectionTableOf(wsi).requestHeadArrived(wsi);
            if (!hasTicket(session->ticket))
                session->ticket = connectionTableOf(wsi).tickets().open(wsi, deliverWork);
            session->bodyStarted = nowTicks();
            readRequestOrigin(wsi, session->origin);
            if (framingInDoubt(wsi)) return -1;
            return answerCorsPreflight(wsi);
        case LWS_CALLBACK_HTTP_BODY:
            // The library's time-out restarts with every piece, so a client that trickles its
            // body is cut here; too large a body (or no memory for it) is cut too.
            if (!bodyOverdue(*session) &&
                appendRequestPiece(session->body, static_cast<const char*>(in), len))
                return 0;
            releaseRequest(*session);
            return -1;
        case LWS_CALLBACK_HTTP_BODY_COMPLETION:
            return onBodyComplete(wsi, *session);
        case LWS_CALLBACK_HTTP_WRITEABLE:
            return onWriteable(wsi, *session);
        case LWS_CALLBACK_HTTP_DROP_PROTOCOL:
        case LWS_CALLBACK_CLOSED_HTTP:
            if (session != nullptr) endConnection(wsi, *session);
            return 0;
        default:
            return 0;
    }
}

}  // namespace

int callbackHttp(lws* wsi, lws_callback_reasons reason, void* user, void* in, std::size_t len) {
    auto* session = static_cast<HttpSession*>(user);
    try {
        return serveHttp(wsi, reason, session, in, len);
    } catch (const std::bad_alloc&) {
        // Out of memory: the request ends unanswered, its connection closes, the agent serves on.
        if (session != nullptr) releaseRequest(*session);
        return -1;
    }
}

}  // namespace quillmark
