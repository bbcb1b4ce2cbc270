#pragma once

#include <chrono>

namespace quillmark {

// The TCP port the agent listens on, on the loopback.
constexpr int kServerPort = 7681;

// How long the desktop agent waits for the server thread to end once asked to stop.
constexpr std::chrono::milliseconds kStopWait(5000);

}  // namespace quillmark
