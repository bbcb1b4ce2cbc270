#include "server/idle_connections.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstring>

#include "server/http_endpoint.h"
#include "server/protocol_table.h"
#include "server/websocket_endpoint.h"

namespace quillmark {
namespace {

// Milliseconds since data last went either way on the connection.
std::uint32_t idleMilliseconds(lws* wsi) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(lws_get_socket_fd(wsi), IPPROTO_TCP, TCP_INFO, &info, &length) != 0) return 0;
    return std::min(info.tcpi_last_data_recv, info.tcpi_last_data_sent);
}

}  // namespace

bool connectionBusy(lws* wsi) {
    const lws_protocols* protocol = lws_get_protocol(wsi);
    const void* session = lws_wsi_user(wsi);
    if (protocol == nullptr || session == nullptr) return false;
    if (std::strcmp(protocol->name, kHttpProtocolName) == 0)
        return httpRequestPending(*static_cast<const HttpSession*>(session));
    if (std::strcmp(protocol->name, kWebSocketProtocolName) == 0)
        return signatureRequestsPending(*static_cast<const SignatureSession*>(session));
    return false;
}

void probeBusyPeer(lws* wsi) {
    const lws_protocols* protocol = lws_get_protocol(wsi);
    if (protocol != nullptr && lws_wsi_user(wsi) != nullptr &&
        std::strcmp(protocol->name, kHttpProtocolName) == 0)
        probeHttpPeer(wsi);
}

void closeSoon(lws* wsi) {
    lws_set_timeout(wsi, PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
}

void IdlestConnection::consider(lws* wsi) {
    if (connectionBusy(wsi)) return;
    const std::uint32_t idle = idleMilliseconds(wsi);
    if (found_ == nullptr || idle > idle_) {
        found_ = wsi;
        idle_ = idle;
    }
}

}  // namespace quillmark
