#pragma once

namespace quillmark {

// The server never sizes its tables for more descriptors than this, however high the limit.
constexpr unsigned kMaxServerDescriptors = 16384;

// Raises the process's soft limit on open descriptors to its hard limit (desktop sessions
// start programs with 1,024) and returns how many descriptors the server may use: the limit
// in effect, at most kMaxServerDescriptors.
unsigned raiseDescriptorLimit();

}  // namespace quillmark
