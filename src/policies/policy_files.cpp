#include "policies/policy_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "support/file_descriptor.h"

namespace quillmark {

// A symbolic link is not followed: a file written in its place would replace the link. A FIFO
// or a device is opened without waiting on it, and refused.
FileText readPolicyFile(const std::string& path) {
    const FileDescriptor file(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!file.isOpen() && errno == ENOENT) return {};
    if (!file.isOpen() && errno == ELOOP) return {std::nullopt, 0, path + ": is a symbolic link"};
    struct stat status {};
    if (!file.isOpen() || fstat(file.get(), &status) != 0)
        return {std::nullopt, 0, path + ": cannot be read: " + std::strerror(errno)};
    if (!S_ISREG(status.st_mode)) return {std::nullopt, 0, path + ": is not a regular file"};
    const std::string tooLarge = path + ": is larger than 4 MiB, more than policies take";
    if (status.st_size > static_cast<off_t>(kMaxPolicyFileSize)) return {std::nullopt, 0, tooLarge};
    std::string text;
    char buffer[8192];
    for (ssize_t count; (count = read(file.get(), buffer, sizeof buffer)) != 0;) {
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return {std::nullopt, 0, path + ": cannot be read: " + std::strerror(errno)};
        text.append(buffer, static_cast<std::size_t>(count));
        // It may grow while read.
        if (text.size() > kMaxPolicyFileSize) return {std::nullopt, 0, tooLarge};
    }
    return {std::move(text), status.st_mode & 07777, {}};
}

}  // namespace quillmark
