#pragma once

#include <future>

#include "protocol/endpoint.h"
#include "server/agent_port.h"

namespace quillmark {

// The server thread: listens on the port, starts a new log and serves requests until
// requestStop. `ready` (when not null) is set true once the server listens, false when it
// could not be set up (for instance, the port is taken). Requests ask the user through
// `services`, which must outlive the thread. Returns 0 after an orderly stop, all bits set
// when the server could not be set up.
unsigned serverThreadMain(std::promise<bool>* ready, const RequestServices& services);

// Asks the server thread to stop and wakes its service loop. Safe from any thread and from a
// signal handler, before, during and after the thread's life.
void requestStop();

// A server thread as started: whether its server listens, known as soon as it is set up,
// and its exit code.
struct ServerThread {
    std::future<bool> ready;
    std::future<unsigned> exitCode;
};

// Runs serverThreadMain on a thread of its own.
ServerThread startServerThread(const RequestServices& services);

}  // namespace quillmark
