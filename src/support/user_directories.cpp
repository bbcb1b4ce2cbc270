#include "support/user_directories.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace quillmark {

std::string homeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/') return home;
    const long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 ||
        found == nullptr || found->pw_dir == nullptr || found->pw_dir[0] != '/')
        return {};
    return found->pw_dir;
}

std::string xdgDirectory(const char* variable, const char* homeFallback) {
    if (const char* value = std::getenv(variable); value != nullptr && value[0] == '/')
        return value;
    const std::string home = homeDirectory();
    return home.empty() ? std::string() : home + "/" + homeFallback;
}

bool makeDirectories(const std::string& path, mode_t mode) {
    struct stat info {};
    if (stat(path.c_str(), &info) == 0) return S_ISDIR(info.st_mode);
    const auto separator = path.find_last_of('/');
    if (separator != std::string::npos && separator > 0 &&
        !makeDirectories(path.substr(0, separator), mode))
        return false;
    return mkdir(path.c_str(), mode) == 0 || errno == EEXIST;
}

}  // namespace quillmark
