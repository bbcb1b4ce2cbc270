#include "server/listening_sockets.h"

#include <dirent.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>

#include "support/directory.h"

namespace quillmark {
namespace {

std::uint16_t localPort(int fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return 0;
    if (address.ss_family == AF_INET)
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    if (address.ss_family == AF_INET6)
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    return 0;
}

bool listensOn(int fd, std::uint16_t port) {
    int listening = 0;
    socklen_t length = sizeof listening;
    return getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &length) == 0 && listening &&
           localPort(fd) == port;
}

}  // namespace

// The listening sockets are found among the process's descriptors: the library does not hand
// them out. Shutting a listening socket down takes it out of the listening state (Linux).
void stopListening(std::uint16_t port) {
    Directory descriptors(opendir("/proc/self/fd"));
    if (!descriptors) return;
    while (const dirent* entry = readdir(descriptors.get())) {
        if (entry->d_name[0] == '.') continue;
        const int fd = std::atoi(entry->d_name);
        if (listensOn(fd, port)) shutdown(fd, SHUT_RD);
    }
}

}  // namespace quillmark
