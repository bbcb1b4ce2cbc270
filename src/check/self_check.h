#pragma once

namespace quillmark {

// Prints the readiness report: what was found, one line each, then one line per problem, each
// saying what to do, or that web pages can use the agent. Returns 0 when a page has all it
// needs, 1 otherwise.
int printSelfCheck();

// What each problem's line starts with.
extern const char kProblemMark[];

}  // namespace quillmark
