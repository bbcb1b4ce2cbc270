#pragma once

namespace quillmark {

// Tells the user whether web pages can use the agent now: who holds its port, the certificate
// store and tokens, whether a dialog can ask, the allowed sites and the log's place; then one
// line per problem, each saying what to do. Starts no dialog, takes no port and writes no file.
// Returns 0 when a page has all it needs, 1 otherwise.
int printSelfCheck();

}  // namespace quillmark
