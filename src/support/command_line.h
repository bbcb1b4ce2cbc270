#pragma once

#include <optional>

namespace quillmark {

// What a program says of itself on its command line.
struct ProgramUsage {
    const char* name;         // as typed, e.g. "quillmarkd"
    const char* description;  // a few lines on what it does, each ending in "\n"
};

// Answers --help and --version, and refuses any other argument, before the program touches
// anything (port, log, other copies, autostart). Returns the exit status when the program
// should end here, or nothing when it was started without arguments and should run.
std::optional<int> answerCommandLine(int argc, char** argv, const ProgramUsage& usage);

}  // namespace quillmark
