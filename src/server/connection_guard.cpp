#include "server/connection_guard.h"

#include "server/connection_owner.h"
#include "server/peer_limit.h"
#include "server/request_host.h"
#include "server/request_origin.h"
#include "server/site_limit.h"

namespace quillmark {
namespace {

bool requestAllowed(lws* wsi) {
    if (!requestHostAllowed(wsi)) return false;
    RequestOrigin origin;
    readRequestOrigin(wsi, origin);
    return admitConnectionOfSite(wsi, originText(origin));
}

}  // namespace

int guardConnection(lws* wsi, lws_callback_reasons reason, void* user) {
    if (limitConnectionsPerAddress(wsi, reason, user) != 0) return -1;
    switch (reason) {
        case LWS_CALLBACK_FILTER_NETWORK_CONNECTION: {
            const auto* args = static_cast<const lws_filter_network_conn_args*>(user);
            return connectionOfThisUser(args->accept_fd) ? 0 : -1;
        }
        case LWS_CALLBACK_HTTP:
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
            return requestAllowed(wsi) ? 0 : -1;
        case LWS_CALLBACK_WSI_DESTROY:
            releaseConnectionOfSite(wsi);
            return 0;
        default:
            return 0;
    }
}

}  // namespace quillmark
