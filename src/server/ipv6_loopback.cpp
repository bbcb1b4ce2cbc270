#include "server/ipv6_loopback.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdint>

#include "support/file_descriptor.h"

namespace quillmark {

bool ipv6LoopbackMissing(int port) {
    const FileDescriptor probe(socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe.isOpen()) return errno == EAFNOSUPPORT;
    // The same option the listener binds with, so that only a socket that holds the port
    // (not one of its closed connections) makes the bind fail for being in use.
    const int on = 1;
    setsockopt(probe.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_port = htons(static_cast<std::uint16_t>(port));
    address.sin6_addr = in6addr_loopback;
    if (bind(probe.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return false;
    return errno == EADDRNOTAVAIL || errno == EAFNOSUPPORT;
}

}  // namespace quillmark
