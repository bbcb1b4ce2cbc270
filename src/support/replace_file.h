#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

namespace quillmark {

// Replaces the file at `directory`/`name` with the text, whole or not at all: the text goes to
// a temporary file beside it, flushed to disk with the given mode, which is then renamed over
// the file, and the directory is flushed too. False when the file could not be replaced: the old
// one is then as it was, and no temporary file is left behind.
bool replaceFile(const std::string& directory, const std::string& name, std::string_view text,
                 mode_t mode);

}  // namespace quillmark
