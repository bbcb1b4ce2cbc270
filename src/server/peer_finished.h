#pragma once

namespace quillmark {

// The peer of a TCP connection has finished sending (its FIN came; bytes it sent before may
// still wait unread) and the agent has not closed its own side.
bool peerFinishedSending(int fd);

}  // namespace quillmark
