#include "server/peer_limit.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <map>
#include <string>

#include "server/idle_connections.h"
#include "server/site_limit.h"

namespace quillmark {
namespace {

// Connections and their count by address. Only the server thread touches these.
std::map<lws*, std::string> addressOfConnection;
std::map<std::string, int> connectionsOfAddress;

// The 16 address bytes without the port; IPv4 peers as IPv4-mapped IPv6 addresses.
std::string addressKey(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        std::string key(10, '\0');
        key += "\xff\xff";
        return key.append(reinterpret_cast<const char*>(&v4.sin_addr.s_addr), 4);
    }
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        return std::string(reinterpret_cast<const char*>(v6.sin6_addr.s6_addr), 16);
    }
    return {};
}

std::string peerOf(lws_sockfd_type fd) {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (getpeername(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return {};
    return addressKey(address);
}

void release(lws* wsi) {
    const auto found = addressOfConnection.find(wsi);
    if (found == addressOfConnection.end()) return;
    if (--connectionsOfAddress[found->second] <= 0) connectionsOfAddress.erase(found->second);
    addressOfConnection.erase(found);
}

// Closes the longest-idle connection from the address whose latest request came from a site
// that is not allowed; false when there is none.
bool closeIdlestNotAllowed(const std::string& address) {
    IdlestConnection idlest;
    for (const auto& [wsi, itsAddress] : addressOfConnection) {
        if (itsAddress == address && connectionOfNotAllowedSite(wsi)) idlest.consider(wsi);
    }
    lws* const closed = idlest.found();
    if (closed == nullptr) return false;
    release(closed);
    releaseConnectionOfSite(closed);
    closeSoon(closed);
    return true;
}

bool addressFull(const std::string& address) {
    const auto count = connectionsOfAddress.find(address);
    return count != connectionsOfAddress.end() && count->second >= kMaxConnectionsPerAddress;
}

}  // namespace

int limitConnectionsPerAddress(lws* wsi, lws_callback_reasons reason, void* user) {
    switch (reason) {
        case LWS_CALLBACK_FILTER_NETWORK_CONNECTION: {
            const auto* args = static_cast<const lws_filter_network_conn_args*>(user);
            const std::string address = addressKey(args->cli_addr);
            return addressFull(address) && !closeIdlestNotAllowed(address);
        }
        case LWS_CALLBACK_SERVER_NEW_CLIENT_INSTANTIATED: {
            const std::string address = peerOf(lws_get_socket_fd(wsi));
            addressOfConnection[wsi] = address;
            ++connectionsOfAddress[address];
            return 0;
        }
        case LWS_CALLBACK_WSI_DESTROY:
            release(wsi);
            return 0;
        default:
            return 0;
    }
}

}  // namespace quillmark
