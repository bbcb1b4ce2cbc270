#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>

namespace quillmark {

// A TCP socket of this machine as the kernel's socket diagnostics (NETLINK_SOCK_DIAG, the
// interface `ss -e` reads) describe it: the user who owns it and its inode, by which the
// processes holding it can be found in /proc.
struct SocketRecord {
    uid_t uid;
    ino_t inode;
};

// The client socket of an accepted connection: the local socket whose source is the
// connection's peer address and port and whose destination is ours. Empty when the kernel
// knows no such socket (the client runs on another machine, or has already gone) or cannot be
// asked.
std::optional<SocketRecord> peerSocketOf(int connectedFd);

// The socket listening on a TCP port, on any local address, IPv4 or IPv6; empty when none is.
std::optional<SocketRecord> listeningSocketOf(std::uint16_t port);

// The executable's file name of a process of this user, other than this one, that holds the
// socket with this inode; empty when none does (or it cannot be read).
std::string programHoldingSocket(ino_t inode);

}  // namespace quillmark
