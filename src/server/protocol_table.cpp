#include "server/protocol_table.h"

#include <cstring>

#include "server/connection_guard.h"
#include "server/connection_table.h"
#include "server/http_endpoint.h"
#include "server/store_workers.h"
#include "server/websocket_endpoint.h"

namespace quillmark {
namespace {

// Every connection's and request's checks sit in front of both endpoints. The library
// reports new and ended connections to the first protocol only, so the table of open
// connections follows them in front of the WebSocket endpoint. The store
// workers wake the service loop when they finish a request; the wake reaches every protocol of
// every virtual host, and the first protocol hands the finished work over (a second call finds
// none).
int callbackGuardedSignature(lws* wsi, lws_callback_reasons reason, void* user, void* in,
                             size_t len) {
    if (reason == LWS_CALLBACK_EVENT_WAIT_CANCELLED) {
        storeWorkersOf(wsi).deliverFinished(connectionTableOf(wsi).tickets());
        return 0;
    }
    ConnectionTable::follow(wsi, reason);
    if (guardConnection(wsi, reason, user) != 0) return -1;
    return callbackSignature(wsi, reason, user, in, len);
}

int callbackGuardedHttp(lws* wsi, lws_callback_reasons reason, void* user, void* in, size_t len) {
    if (guardConnection(wsi, reason, user) != 0) return -1;
    return callbackHttp(wsi, reason, user, in, len);
}

// Each WebSocket connection's receive buffer. Messages are joined from their pieces whatever
// this size; a larger buffer means fewer pieces, so a document of many megabytes is received
// at near the cost of copying it.
constexpr std::size_t kWebSocketReceiveBuffer = 64 * 1024;

}  // namespace

// "signature" stays first: it is the default protocol for clients that name none.
const lws_protocols kProtocolTable[] = {
    {kWebSocketProtocolName, callbackGuardedSignature, sizeof(SignatureSession),
     kWebSocketReceiveBuffer, 0, nullptr, 0},
    {kHttpProtocolName, callbackGuardedHttp, sizeof(HttpSession), 1024, 0, nullptr, 0},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

const lws_extension kExtensionTable[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate, "permessage-deflate"},
    {nullptr, nullptr, nullptr},
};

// An empty mount point matches every path, so every HTTP request reaches callbackHttp.
const lws_http_mount kCallbackMount = [] {
    lws_http_mount mount{};
    mount.mountpoint = "";
    mount.mountpoint_len = 0;
    mount.origin = kHttpProtocolName;
    mount.origin_protocol = LWSMPRO_CALLBACK;
    return mount;
}();

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

}  // namespace quillmark
