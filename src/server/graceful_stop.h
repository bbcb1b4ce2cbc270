#pragma once

#include <libwebsockets.h>

#include <chrono>

#include "server/connection_table.h"

namespace quillmark {

// How long a stopping agent goes on serving the requests it has accepted.
constexpr std::chrono::milliseconds kStopGrace(2000);

// Called once the service loop has been asked to stop (a restart's new copy asks the old one
// so): the port stops listening, so new connections are refused until the next copy listens
// (one that slips in is closed as it comes), and the loop serves on until no accepted request
// waits for its answer, for at most kStopGrace. A connection accepted just now counts as
// waiting: its request may still be on its way.
void finishAcceptedRequests(lws_context* context, ConnectionTable& connections);

}  // namespace quillmark
