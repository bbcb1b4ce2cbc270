#include "server/socket_owner.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "support/directory.h"
#include "support/file_descriptor.h"
#include "support/module_path.h"
#include "support/process_ids.h"

namespace quillmark {
namespace {

// A TCP endpoint as the kernel's diagnostics name it: family, address bytes in network order
// (4 or 16), port in network order.
struct Endpoint {
    int family = AF_UNSPEC;
    std::uint32_t address[4] = {};
    std::uint16_t port = 0;
};

// An IPv4 peer of a dual-stack IPv6 socket (::ffff:a.b.c.d) is an IPv4 socket on its side.
void unmapIpv4(Endpoint& endpoint) {
    static const std::uint8_t kMappedPrefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (endpoint.family != AF_INET6 ||
        std::memcmp(endpoint.address, kMappedPrefix, sizeof kMappedPrefix) != 0)
        return;
    endpoint.family = AF_INET;
    endpoint.address[0] = endpoint.address[3];
    endpoint.address[1] = endpoint.address[2] = endpoint.address[3] = 0;
}

std::optional<Endpoint> endpointOf(const sockaddr_storage& address) {
    Endpoint endpoint;
    endpoint.family = address.ss_family;
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        endpoint.address[0] = v4.sin_addr.s_addr;
        endpoint.port = v4.sin_port;
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(endpoint.address, v6.sin6_addr.s6_addr, 16);
        endpoint.port = v6.sin6_port;
    } else {
        return std::nullopt;
    }
    unmapIpv4(endpoint);
    return endpoint;
}

using AddressGetter = int (*)(int, sockaddr*, socklen_t*);

std::optional<Endpoint> endpointFrom(int fd, AddressGetter get) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (get(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return std::nullopt;
    return endpointOf(address);
}

struct DiagRequest {
    nlmsghdr header;
    inet_diag_req_v2 body;
};

DiagRequest diagRequest(int family, std::uint32_t states, bool dump) {
    DiagRequest request{};
    request.header.nlmsg_len = sizeof request;
    request.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    request.header.nlmsg_flags = NLM_F_REQUEST | (dump ? NLM_F_DUMP : 0);
    request.body.sdiag_family = static_cast<std::uint8_t>(family);
    request.body.sdiag_protocol = IPPROTO_TCP;
    request.body.idiag_states = states;
    request.body.id.idiag_cookie[0] = request.body.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
    return request;
}

// Visits a socket of the kernel's answer; true when it is the one sought.
using SocketVisitor = std::function<bool(const inet_diag_msg&)>;

// Sends one diagnostics request and passes the sockets of the answer to the visitor until it
// returns true. A kernel that cannot be asked, or answers with an error, passes none.
void askKernel(const DiagRequest& request, const SocketVisitor& visit) {
    const FileDescriptor diag(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!diag.isOpen()) return;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (sendto(diag.get(), &request, sizeof request, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof request))
        return;

    const bool dump = (request.header.nlmsg_flags & NLM_F_DUMP) != 0;
    alignas(nlmsghdr) char buffer[16 * 1024];
    for (;;) {
        ssize_t received;
        do {
            received = recv(diag.get(), buffer, sizeof buffer, 0);
        } while (received < 0 && errno == EINTR);
        if (received <= 0) return;
        int remaining = static_cast<int>(received);
        for (auto* message = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(message, remaining);
             message = NLMSG_NEXT(message, remaining)) {
            if (message->nlmsg_type == NLMSG_DONE || message->nlmsg_type == NLMSG_ERROR) return;
            if (message->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
                visit(*static_cast<const inet_diag_msg*>(NLMSG_DATA(message))))
                return;
        }
        if (!dump) return;  // a lookup by address is answered in one message
    }
}

}  // namespace

std::optional<SocketRecord> peerSocketOf(int connectedFd) {
    const auto ours = endpointFrom(connectedFd, getsockname);
    const auto peer = endpointFrom(connectedFd, getpeername);
    if (!ours || !peer || ours->family != peer->family) return std::nullopt;

    // From the client socket's side its source is our peer and its destination is us.
    DiagRequest request = diagRequest(peer->family, ~0u, false);
    request.body.id.idiag_sport = peer->port;
    request.body.id.idiag_dport = ours->port;
    std::memcpy(request.body.id.idiag_src, peer->address, sizeof peer->address);
    std::memcpy(request.body.id.idiag_dst, ours->address, sizeof ours->address);

    std::optional<SocketRecord> found;
    askKernel(request, [&found](const inet_diag_msg& socket) {
        // A socket in TIME-WAIT has no owner any more: the kernel reports uid 0 for it.
        if (socket.idiag_state != TCP_TIME_WAIT)
            found = SocketRecord{socket.idiag_uid, socket.idiag_inode};
        return true;
    });
    return found;
}

std::optional<SocketRecord> listeningSocketOf(std::uint16_t port) {
    std::optional<SocketRecord> found;
    for (const int family : {AF_INET, AF_INET6}) {
        askKernel(diagRequest(family, 1u << TCP_LISTEN, true),
                  [&found, port](const inet_diag_msg& socket) {
                      if (ntohs(socket.id.idiag_sport) != port) return false;
                      found = SocketRecord{socket.idiag_uid, socket.idiag_inode};
                      return true;
                  });
        if (found) return found;
    }
    return found;
}

namespace {

bool holdsLink(const std::string& fdDirectory, const std::string& wanted) {
    Directory fds(opendir(fdDirectory.c_str()));
    if (!fds) return false;
    char target[64];
    while (const dirent* entry = readdir(fds.get())) {
        const std::string link = fdDirectory + "/" + entry->d_name;
        const ssize_t length = readlink(link.c_str(), target, sizeof target);
        if (length > 0 &&
            wanted.compare(0, std::string::npos, target, static_cast<std::size_t>(length)) == 0)
            return true;
    }
    return false;
}

}  // namespace

std::string programHoldingSocket(ino_t inode) {
    const std::string wanted = "socket:[" + std::to_string(inode) + "]";
    for (const pid_t pid : otherProcessIds()) {
        if (runsAsThisUser(pid) && holdsLink("/proc/" + std::to_string(pid) + "/fd", wanted))
            return fileNameOf(executablePathOf(pid));
    }
    return {};
}

}  // namespace quillmark
