#include "support/process_ids.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
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

std::optional<unsigned long long> processStartTicks(pid_t pid) {
    std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(file, line)) return std::nullopt;
    // The command name, in parentheses, may hold spaces and parentheses itself: the fields
    // are counted from after its last closing parenthesis, where the 3rd field starts.
    const auto nameEnd = line.rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(line.substr(nameEnd + 1));
    std::string skipped;
    for (int field = 3; field < 22; ++field)
        fields >> skipped;
    unsigned long long ticks;
    if (!(fields >> ticks)) return std::nullopt;
    return ticks;
}

}  // namespace quillmark
