#include "desktop/other_copies.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>
#include <utility>

#include "support/file_descriptor.h"
#include "support/module_path.h"
#include "support/process_ids.h"

namespace quillmark {
namespace {

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

// Start order: copies started in the same clock tick are ordered by process id.
using StartOrder = std::pair<unsigned long long, pid_t>;

std::optional<StartOrder> startOrderOf(pid_t pid) {
    const auto ticks = processStartTicks(pid);
    if (!ticks) return std::nullopt;
    return StartOrder{*ticks, pid};
}

// A copy of this program for this user that started before this process: running an
// executable of this file name (a process whose executable was replaced on disk is an older
// build), as this user (other users' copies serve their own sessions). Read once the handle
// is open, so that they describe the process the handle signals.
bool isOlderCopy(pid_t pid, const std::string& executableName, const StartOrder& self) {
    if (fileNameOf(executablePathOf(pid)) != executableName || !runsAsThisUser(pid)) return false;
    const auto order = startOrderOf(pid);
    return order && *order < self;
}

void closeCopy(const ProcessHandle& process, std::chrono::milliseconds grace) {
    process.signal(SIGTERM);
    if (!process.waitForExit(grace)) {
        process.signal(SIGKILL);
        process.waitForExit(grace);
    }
}

}  // namespace

void closeOtherInstances(const std::string& executableName, std::chrono::milliseconds grace) {
    const auto self = startOrderOf(getpid());
    if (!self) return;  // without its own start time, no copy is known to be older
    for (const pid_t pid : otherProcessIds()) {
        const ProcessHandle process(pid);
        if (process.isOpen() && isOlderCopy(pid, executableName, *self)) closeCopy(process, grace);
    }
}

}  // namespace quillmark
