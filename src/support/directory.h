#pragma once

#include <dirent.h>

#include <memory>

namespace quillmark {

struct DirectoryCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// An open directory stream (opendir), closed when it goes out of scope.
using Directory = std::unique_ptr<DIR, DirectoryCloser>;

}  // namespace quillmark
