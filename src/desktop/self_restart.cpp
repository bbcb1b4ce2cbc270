#include "desktop/self_restart.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <thread>

#include "support/log_file.h"
#include "support/module_path.h"

extern char** environ;

namespace quillmark {
namespace {

// How this process restarts, and whether it is doing so. Process-wide, as the process is what
// restarts: a restart asked on any connection, and the thread that reaps a new copy which
// ended early, share it.
struct Restart {
    std::atomic<bool> byExit{false};    // the service manager starts the new copy
    std::atomic<bool> underWay{false};  // a new copy was started and has not ended
};
Restart restart;

// Waits for this one child only, so a new copy that ends early leaves no zombie; other
// children (a PIN dialog) stay with the code that waits for them. A new copy that lives
// closes this process, and this thread with it; one that ended without doing so leaves this
// copy serving, and a later restart may try again.
void reapWhenItEnds(pid_t child) {
    std::thread([child] {
        while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
        }
        restart.underWay = false;
    }).detach();
}

}  // namespace

bool runByServiceManager() {
    return std::getenv("INVOCATION_ID") != nullptr;
}

void restartThroughServiceManager() {
    restart.byExit = true;
}

void restartProcess() {
    writeLog("do restart");
    flushLog();  // before the new copy moves the log
    // A restart asked while one is under way is answered, but starts nothing more: a second
    // new copy would only close the first, or be closed by it.
    if (restart.underWay.exchange(true)) return;
    if (restart.byExit) {
        kill(getpid(), SIGTERM);
        return;
    }
    if (!startNewCopy()) restart.underWay = false;
}

bool stoppingForRestart() {
    return restart.byExit && restart.underWay;
}

bool startNewCopy() {
    // After an upgrade this is the new file at the original path, not the replaced one.
    const std::string path = executablePath();
    if (path.empty()) return false;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return false;
    // The listening socket must not outlive this copy in the new one, or it could not bind.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t child;
    const bool started = posix_spawn(&child, path.c_str(), &actions, nullptr, argv, environ) == 0;
    posix_spawn_file_actions_destroy(&actions);
    if (started) reapWhenItEnds(child);
    return started;
}

}  // namespace quillmark
