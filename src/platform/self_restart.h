#pragma once

namespace quillmark {

// Starts a new copy of the running executable with no arguments, the current environment
// and directory, and no inherited descriptors; it is not waited for and its result is not
// examined. The new copy's start-up closes this one.
void startNewCopy();

}  // namespace quillmark
