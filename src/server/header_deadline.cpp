#include "server/header_deadline.h"

#include <chrono>
#include <unordered_map>

namespace quillmark {
namespace {

using Clock = std::chrono::steady_clock;

// Connections waiting for a request head, and since when. Service thread only.
std::unordered_map<lws*, Clock::time_point> waitingHeads;
lws_sorted_usec_list_t sweepTimer;
lws_context* sweptContext = nullptr;

void sweep(lws_sorted_usec_list_t*) {
    const Clock::time_point late = Clock::now() - std::chrono::seconds(kHeadSeconds);
    for (const auto& [wsi, since] : waitingHeads) {
        if (since < late) lws_set_timeout(wsi, PENDING_TIMEOUT_HOLDING_AH, LWS_TO_KILL_ASYNC);
    }
    lws_sul_schedule(sweptContext, 0, &sweepTimer, sweep, LWS_US_PER_SEC);
}

}  // namespace

void watchRequestHeads(lws* wsi, lws_callback_reasons reason) {
    switch (reason) {
        case LWS_CALLBACK_PROTOCOL_INIT:
            sweptContext = lws_get_context(wsi);
            lws_sul_schedule(sweptContext, 0, &sweepTimer, sweep, LWS_US_PER_SEC);
            break;
        case LWS_CALLBACK_PROTOCOL_DESTROY:
            lws_sul_cancel(&sweepTimer);
            waitingHeads.clear();
            break;
        case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED:
            waitingHeads[wsi] = Clock::now();
            break;
        case LWS_CALLBACK_FILTER_HTTP_CONNECTION:
        case LWS_CALLBACK_ESTABLISHED:
        case LWS_CALLBACK_WSI_DESTROY:
            waitingHeads.erase(wsi);
            break;
        default:
            break;
    }
}

void awaitNextRequestHead(lws* wsi) {
    waitingHeads[wsi] = Clock::now();
}

void requestHeadArrived(lws* wsi) {
    waitingHeads.erase(wsi);
}

}  // namespace quillmark
