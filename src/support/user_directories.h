#pragma once

#include <sys/types.h>

#include <string>

namespace quillmark {

// The user's home directory: $HOME when it is absolute, else the password database's entry;
// empty when neither gives an absolute path.
std::string homeDirectory();

// An XDG base directory: the variable's value when it is absolute (relative values are
// invalid and ignored), else the home directory plus the fallback (".config", ".local/state");
// empty when no home directory is known.
std::string xdgDirectory(const char* variable, const char* homeFallback);

// Creates a directory and its missing parents; new ones are private to the user, as the
// XDG base directories ask, unless another mode is given. True when the directory exists
// afterwards.
bool makeDirectories(const std::string& path, mode_t mode = 0700);

}  // namespace quillmark
