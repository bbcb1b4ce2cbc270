#include "server/graceful_stop.h"

#include "server/agent_port.h"
#include "server/listening_sockets.h"
#include "server/protocol_table.h"
#include "server/websocket_endpoint.h"

namespace quillmark {
namespace {

// A client that has connected sends its request at once; this long is left for it to arrive.
constexpr std::chrono::milliseconds kArrivalWait(200);
// How often the loop wakes while it waits, so that it sees the grace end.
constexpr std::chrono::milliseconds kWakeInterval(20);

// An HTTP request is bound to the HTTP protocol from its headers until its answer is out (an
// answered connection returns to the first protocol). A WebSocket connection waits while a
// message is partly received, with the store workers or a reply is queued.
bool awaitsAnswer(lws* wsi, std::chrono::steady_clock::duration sinceAccepted) {
    // Each virtual host may hold its own copy of the table: protocols are told by callback.
    const lws_protocols* protocol = lws_get_protocol(wsi);
    if (protocol == nullptr) return sinceAccepted < kArrivalWait;
    const lws_callback_function* callback = protocol->callback;
    if (callback == kProtocolTable[1].callback) return true;
    const auto* session = static_cast<const SignatureSession*>(lws_wsi_user(wsi));
    if (callback == kProtocolTable[0].callback && session != nullptr &&
        (session->request.length > 0 || session->working > 0 || session->replies.count > 0))
        return true;
    return sinceAccepted < kArrivalWait;
}

bool anyAwaitsAnswer(const ConnectionTable& connections) {
    bool waiting = false;
    connections.forEachOpen([&](lws* wsi, std::chrono::steady_clock::duration sinceAccepted) {
        waiting = waiting || awaitsAnswer(wsi, sinceAccepted);
    });
    return waiting;
}

void wake(lws_sorted_usec_list_t*) {}

}  // namespace

void finishAcceptedRequests(lws_context* context, ConnectionTable& connections) {
    lws_sorted_usec_list_t wakeTimer{};
    // One pass of the loop, at most kWakeInterval long; false when the loop has failed.
    const auto servePass = [&] {
        lws_sul_schedule(context, 0, &wakeTimer, wake,
                         std::chrono::microseconds(kWakeInterval).count());
        return lws_service(context, 0) >= 0;
    };
    // The first pass accepts the connections the kernel has already queued, which would be
    // reset once the port stops listening.
    bool serving = servePass();
    stopListening(kServerPort);
    connections.stopAccepting();
    const auto end = std::chrono::steady_clock::now() + kStopGrace;
    while (serving && std::chrono::steady_clock::now() < end && anyAwaitsAnswer(connections))
        serving = servePass();
    lws_sul_cancel(&wakeTimer);
}

}  // namespace quillmark
