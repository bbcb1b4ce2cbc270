#pragma once

#include <chrono>
#include <string>

namespace quillmark {

// Asks every process of this user (by real user id) running an executable of this file name
// (compared exactly) that started before this one to close with SIGTERM, one after another,
// and kills with SIGKILL any that is still running after the grace period. Copies started
// later are left alone: of copies started together, the last one closes the others and
// serves, whatever order they reach this in. Processes whose executable cannot be read are
// left alone, and the calling process is never touched.
void closeOtherInstances(const std::string& executableName,
                         std::chrono::milliseconds grace = std::chrono::milliseconds(5000));

}  // namespace quillmark
