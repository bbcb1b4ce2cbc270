#pragma once

namespace quillmark {

// Starts a new copy of the running executable with no arguments, the current environment
// and directory, and no inherited descriptors. When the executable has been replaced on disk,
// the file now at its path is started. The copy is reaped when it ends but its result is not
// examined; its start-up closes this one.
void startNewCopy();

}  // namespace quillmark
