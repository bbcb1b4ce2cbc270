#pragma once

#include <string>

namespace quillmark {

// Full path the running executable was started from, even when the file has since been
// replaced or removed; empty when it cannot be read.
std::string executablePath();

// The same for another process; empty when it cannot be read (the process belongs to
// another user, or has ended).
std::string executablePathOf(int pid);

// The executable's directory with its trailing separator ("/" and "\" both count);
// empty when the path holds no separator.
std::string getModuleDirectory();

// The part of a path after its last separator, or the whole path without one.
std::string fileNameOf(const std::string& path);

}  // namespace quillmark
