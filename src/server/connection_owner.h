#pragma once

namespace quillmark {

// True when the client socket of an accepted connection belongs to the user this agent runs
// as. A connection from another user of the machine, or whose client socket's owner cannot be
// found, is logged and must be closed before any byte of it is read. A build that listens on
// every interface also serves clients on other machines: a client the kernel does not know,
// from an address other than the loopback, is taken.
bool connectionOfThisUser(int connectedFd);

}  // namespace quillmark
