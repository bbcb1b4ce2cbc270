#pragma once

#include <string_view>

namespace quillmark {

// Writes the whole text to a file descriptor, carrying on after short writes and signal
// interruptions. False when a write fails.
bool writeAll(int fd, std::string_view text);

}  // namespace quillmark
