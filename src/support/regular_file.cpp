#include "support/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quillmark {

FileDescriptor openRegularFile(const std::string& path, int flags, mode_t mode) {
    FileDescriptor file(open(path.c_str(), flags | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, mode));
    struct stat info {};
    if (!file.isOpen() || fstat(file.get(), &info) != 0 || !S_ISREG(info.st_mode))
        return FileDescriptor();
    // Reads and writes of a regular file never wait on others; the flag is dropped all the same.
    fcntl(file.get(), F_SETFL, fcntl(file.get(), F_GETFL) & ~O_NONBLOCK);
    return file;
}

std::optional<std::string> readRegularFile(const std::string& path) {
    const FileDescriptor file = openRegularFile(path, O_RDONLY);
    if (!file.isOpen()) return std::nullopt;
    std::string text;
    char block[65536];
    for (;;) {
        const ssize_t count = read(file.get(), block, sizeof block);
        if (count == 0) return text;
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) return std::nullopt;
        text.append(block, static_cast<std::size_t>(count));
    }
}

}  // namespace quillmark
