#pragma once

#include <string>
#include <vector>

namespace quillmark {

// Whether web pages can use the agent now: who holds its port, the certificate store and
// tokens, whether a dialog can ask, the allowed sites and the log's place, one a line; then the
// problems, each saying what to do. Ready when there is no problem.
struct ReadinessReport {
    std::vector<std::string> lines;
    std::vector<std::string> problems;
};

// Starts no dialog, takes no port and writes no file. It opens NSS on the user's store and
// shuts it down: the calling process must not be using NSS otherwise.
ReadinessReport checkReadiness();

}  // namespace quillmark
