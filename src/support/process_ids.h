#pragma once

#include <sys/types.h>

#include <optional>
#include <vector>

namespace quillmark {

// The ids of the processes running now, as /proc lists them, without the calling process.
std::vector<pid_t> otherProcessIds();

// True when the process runs as this process's user (/proc/PID belongs to its effective
// user); false for other users' processes and for one that has ended.
bool runsAsThisUser(pid_t pid);

// When the process started, in clock ticks since the system booted (the 22nd field of
// /proc/PID/stat); none once it has ended.
std::optional<unsigned long long> processStartTicks(pid_t pid);

}  // namespace quillmark
