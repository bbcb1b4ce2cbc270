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

// The server thread: listens on the port, starts a new log and serves requests until
// requestStop. Returns 0 after an orderly stop, all bits set when the server could not be
// set up.
unsigned serverThreadMain(void* unused);

// Asks the server thread to stop and wakes its service loop. Safe from any thread and from a
// signal handler, before, during and after the thread's life.
void requestStop();

// Runs serverThreadMain on a thread of its own; the future holds its exit code.
std::future<unsigned> startServerThread();

}  // namespace quillmark
