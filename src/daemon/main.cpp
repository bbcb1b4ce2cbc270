// quillmarkd: the signing agent without a tray or dialog, for desktops without a tray,
// systemd user services and tests. It replaces older copies of itself, serves until SIGINT
// or SIGTERM, then stops in order.
#include <signal.h>

#include <cstdio>

#include "platform/other_copies.h"
#include "server/server_thread.h"
#include "support/module_path.h"

using namespace quillmark;

namespace {

void onStopSignal(int) {
    requestStop();
}

void stopOnTerminate() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

}  // namespace

int main() {
    stopOnTerminate();
    closeOtherInstances(fileNameOf(executablePath()));

    // The thread fails only while setting up, so it ends with an error code at once; a stop
    // request, even one that arrives during start-up, ends it with 0.
    if (startServerThread().get() != 0) {
        std::fprintf(stderr, "%s\n", kStartFailedMessage);
        return 1;
    }
    return 0;
}
