#pragma once

#include <chrono>
#include <future>

namespace quillmark {

constexpr int kServerPort = 7681;

// How long start-up waits on the server thread: a thread that has ended by then could not
// set up its server (for instance, the port is taken).
constexpr std::chrono::milliseconds kStartCheck(5000);

// What the user is told when the server could not be set up.
constexpr char kStartFailedMessage[] = "Không thể khởi động ứng dụng.";

// The server thread: empties the log, listens on the port and serves requests until
// onInterruptSignal stops it. Returns 0 after an orderly stop, all bits set when the
// server could not be set up.
unsigned serverThreadMain(void* unused);

// Signal handler for SIGINT (and SIGTERM in the headless agent): stops the service loop.
void onInterruptSignal(int signalNumber);

// Runs serverThreadMain on a thread of its own; the future holds its exit code.
std::future<unsigned> startServerThread();

}  // namespace quillmark
