#pragma once

#include <sys/types.h>

#include <vector>

namespace quillmark {

// The ids of the processes running now, as /proc lists them, without the calling process.
std::vector<pid_t> otherProcessIds();

// True when the process runs as this process's user (/proc/PID belongs to its effective
// user); false for other users' processes and for one that has ended.
bool runsAsThisUser(pid_t pid);

}  // namespace quillmark
