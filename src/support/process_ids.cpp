#include "support/process_ids.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "support/directory.h"

namespace quillmark {

std::vector<pid_t> otherProcessIds() {
    std::vector<pid_t> found;
    Directory proc(opendir("/proc"));
    if (!proc) return found;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (*end == '\0' && pid > 0 && pid != self) found.push_back(static_cast<pid_t>(pid));
    }
    return found;
}

bool runsAsThisUser(pid_t pid) {
    struct stat status {};
    const std::string directory = "/proc/" + std::to_string(pid);
    return stat(directory.c_str(), &status) == 0 && status.st_uid == geteuid();
}

}  // namespace quillmark
