#include "platform/self_restart.h"

#include <spawn.h>
#include <unistd.h>

#include <string>

#include "support/module_path.h"

extern char** environ;

namespace quillmark {

void startNewCopy() {
    const std::string path = executablePath();
    if (path.empty()) return;

    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) return;
    // The listening socket must not outlive this copy in the new one, or it could not bind.
    posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);

    char* const argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t pid;
    posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace quillmark
