#pragma once

#include <sys/types.h>

#include <optional>
#include <string>

#include "support/file_descriptor.h"

namespace quillmark {

// Opens a file of ours (open(2)'s `flags`, and `mode` when it is created) without following a
// link at its path and without waiting on it, and only when it is a regular file: a link, a
// FIFO or a device another program put there is never written through, and cannot wedge the
// agent. None otherwise.
FileDescriptor openRegularFile(const std::string& path, int flags, mode_t mode = 0600);

// The whole contents of a regular file, as openRegularFile opens it; none when it is not one
// or cannot be read.
std::optional<std::string> readRegularFile(const std::string& path);

}  // namespace quillmark
