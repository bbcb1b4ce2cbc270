#pragma once

#include <unistd.h>

#include <utility>

namespace quillmark {

// Owns one file descriptor and closes it when it goes out of scope, so that no error path
// leaks one. Move-only; -1 means "none".
class FileDescriptor {
  public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const { return fd_; }
    bool isOpen() const { return fd_ >= 0; }

    // Gives up ownership without closing.
    int release() { return std::exchange(fd_, -1); }

    // Closes the descriptor held (if any) and takes `fd`.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

    // Closes now and reports whether close succeeded: a write may only fail at close.
    bool close() { return fd_ < 0 || ::close(release()) == 0; }

  private:
    int fd_;
};

}  // namespace quillmark
