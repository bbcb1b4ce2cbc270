#pragma once

#include <optional>
#include <vector>

namespace quillmark {

// An option a program answers besides --help and --version, and then ends.
struct ProgramOption {
    const char* name;  // as typed, e.g. "--history"
    const char* help;  // one line for --help, without its "\n"
    int (*answer)();   // prints the answer and returns the exit status
    // A second argument the option may take, e.g. "--dry-run", and the answer then.
    const char* modifier = nullptr;
    int (*modifiedAnswer)() = nullptr;
};

// What a program says of itself on its command line.
struct ProgramUsage {
    const char* name;         // as typed, e.g. "quillmarkd"
    const char* description;  // a few lines on what it does, each ending in "\n"
    std::vector<ProgramOption> options;
};

// Answers --help, --version and the program's own options, and refuses any other argument,
// before the program touches anything (port, log, other copies, autostart). Returns the exit
// status when the program should end here, or nothing when it was started without arguments
// and should run.
std::optional<int> answerCommandLine(int argc, char** argv, const ProgramUsage& usage);

}  // namespace quillmark
