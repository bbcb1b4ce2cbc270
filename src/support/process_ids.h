#pragma once

#include <sys/types.h>

#include <vector>

namespace quillmark {

// The ids of the processes running now, as /proc lists them, without the calling process.
std::vector<pid_t> otherProcessIds();

}  // namespace quillmark
