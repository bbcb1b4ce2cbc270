#include "server/connection_guard.h"

#include "server/connection_owner.h"
#include "server/connection_table.h"
#include "server/request_host.h"
#include "server/request_origin.h"

namespace quillmark {
namespace {

// The limit per address is checked first: at it, a connection of a site not allowed makes
// room. The cap on all connections comes last, as it may close any idle one.
bool connectionAllowed(lws* wsi, const lws_filter_network_conn_args& args) {
    ConnectionTable& table = connectionTableOf(wsi);
    return table.admitFromAddress(args.cli_addr) && connectionOfThisUser(args.accept_fd) &&
           table.admitUnderCap();
}

bool requestAllowed(lws* wsi) {
    if (!requestHostAllowed(wsi)) return false;
    RequestOrigin origin;
    readRequestOrigin(wsi, origin);
    return connectionTableOf(wsi).admitOfSite(wsi, originText(origin));
}

}  // namespace

int guardConnection(lws* wsi, lws_callback_reasons reason, void* user) {
    switch (reason) {
        case LWS_CALLBACK_FILTER_NETWORK_CONNECTION:
            return connectionAllowed(wsi, *static_cast<const lws_filter_network_conn_args*>(user))
                       ? 0
                       : -1;
        case LWS_CALLBACK_HTTP:
        case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
            return requestAllowed(wsi) ? 0 : -1;
        default:
            return 0;
    }
}

}  // namespace quillmark
