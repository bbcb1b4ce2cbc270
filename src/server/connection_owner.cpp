#include "server/connection_owner.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/socket_owner.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

#ifdef QUILLMARK_LISTEN_ALL
bool fromLoopback(int connectedFd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(connectedFd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return true;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
    }
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    const auto& bytes = v6.sin6_addr.s6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6.sin6_addr) ||
           (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr) && bytes[12] == 127);
}

bool unknownClientServed(int connectedFd) {
    return !fromLoopback(connectedFd);
}
#else
bool unknownClientServed(int) {
    return false;
}
#endif

}  // namespace

bool connectionOfThisUser(int connectedFd) {
    const auto client = peerSocketOf(connectedFd);
    if (!client) {
        if (unknownClientServed(connectedFd)) return true;
        writeLogCounted("Connection refused: the owner of its client socket is unknown");
        return false;
    }
    if (client->uid == geteuid()) return true;
    writeLogCounted("Connection refused: another user (uid " + std::to_string(client->uid) + ")");
    return false;
}

}  // namespace quillmark
