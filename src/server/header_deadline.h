#pragma once

#include <libwebsockets.h>

namespace quillmark {

// A connection that has not sent a whole request head this long after it opened, or after
// its last request was answered, is cut. The library's own cut of such connections comes
// from its header-table idle time, which it also uses to cut any connection holding a header
// table for that time plus 360 s, a request waiting for the user's PIN included; so that
// time is set to kHeaderTableHold and this deadline keeps the idle ones short.
constexpr int kHeadSeconds = 10;
constexpr int kHeaderTableHold = 24 * 60 * 60;

// Feed it every callback of the first protocol: new and ended connections, complete heads,
// and the set-up and end of each virtual host's protocols, which start and stop its timer.
void watchRequestHeads(lws* wsi, lws_callback_reasons reason);

// A kept-alive connection has been answered and waits for its next request head.
void awaitNextRequestHead(lws* wsi);

// A request head has come whole (HTTP endpoint, for every request of a connection).
void requestHeadArrived(lws* wsi);

}  // namespace quillmark
