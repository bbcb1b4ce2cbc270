#include "desktop/other_copies.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/file_descriptor.h"
#include "support/module_path.h"
#include "support/process_ids.h"

namespace quillmark {
namespace {

// This user's other processes running an executable of this file name; other users' copies
// serve their own sessions.
std::vector<pid_t> ownCopies(const std::string& executableName) {
    std::vector<pid_t> found;
    for (const pid_t pid : otherProcessIds()) {
        // A process whose executable was replaced on disk is an older build of this program.
        if (fileNameOf(executablePathOf(pid)) == executableName && runsAsThisUser(pid))
            found.push_back(pid);
    }
    return found;
}

// A process through its pidfd, so that a signal never reaches a process that has taken
// over the id of one that ended.
class ProcessHandle {
  public:
    explicit ProcessHandle(pid_t pid) : fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
    bool isOpen() const { return fd_.isOpen(); }

    bool waitForExit(std::chrono::milliseconds timeout) const {
        pollfd waiter{fd_.get(), POLLIN, 0};
        int result;
        do {
            result = poll(&waiter, 1, static_cast<int>(timeout.count()));
        } while (result < 0 && errno == EINTR);
        return result > 0;
    }

    void signal(int number) const { syscall(SYS_pidfd_send_signal, fd_.get(), number, nullptr, 0); }

  private:
    FileDescriptor fd_;
};

void closeCopy(pid_t pid, std::chrono::milliseconds grace) {
    const ProcessHandle process(pid);
    if (!process.isOpen()) return;  // already gone
    process.signal(SIGTERM);
    if (!process.waitForExit(grace)) {
        process.signal(SIGKILL);
        process.waitForExit(grace);
    }
}

}  // namespace

void closeOtherInstances(const std::string& executableName, std::chrono::milliseconds grace) {
    for (const pid_t pid : ownCopies(executableName))
        closeCopy(pid, grace);
}

}  // namespace quillmark
