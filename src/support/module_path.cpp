#include "support/module_path.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>

namespace quillmark {
namespace {

std::string::size_type lastSeparator(const std::string& path) {
    return path.find_last_of("/\\");
}

// An executable replaced on disk (as a package upgrade does) reads as "path (deleted)"; the
// path it was started from is the one without the mark, where its successor now stands.
std::string withoutDeletedMark(std::string path) {
    static const std::string kDeletedMark = " (deleted)";
    struct stat info {};
    if (path.size() > kDeletedMark.size() &&
        path.compare(path.size() - kDeletedMark.size(), kDeletedMark.size(), kDeletedMark) == 0 &&
        lstat(path.c_str(), &info) != 0)
        path.resize(path.size() - kDeletedMark.size());
    return path;
}

std::string linkTarget(const std::string& link) {
    char buffer[PATH_MAX];
    const ssize_t length = readlink(link.c_str(), buffer, sizeof buffer);
    if (length <= 0 || length == static_cast<ssize_t>(sizeof buffer)) return {};
    return withoutDeletedMark(std::string(buffer, static_cast<std::size_t>(length)));
}

}  // namespace

std::string executablePath() {
    return linkTarget("/proc/self/exe");
}

std::string executablePathOf(int pid) {
    return linkTarget("/proc/" + std::to_string(pid) + "/exe");
}

std::string getModuleDirectory() {
    const std::string path = executablePath();
    const auto separator = lastSeparator(path);
    return separator == std::string::npos ? std::string() : path.substr(0, separator + 1);
}

std::string fileNameOf(const std::string& path) {
    const auto separator = lastSeparator(path);
    return separator == std::string::npos ? path : path.substr(separator + 1);
}

}  // namespace quillmark
