#include "server/server_thread.h"

#include <libwebsockets.h>

#include <atomic>
#include <memory>
#include <thread>

#include "dialogs/assuan_client.h"
#include "keystore/keypad_login.h"
#include "server/connection_table.h"
#include "server/descriptor_limit.h"
#include "server/graceful_stop.h"
#include "server/http_endpoint.h"
#include "server/ipv6_loopback.h"
#include "server/protocol_table.h"
#include "server/store_workers.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr unsigned kSetupFailed = static_cast<unsigned>(-1);

using ContextPtr = std::unique_ptr<lws_context, decltype(&lws_context_destroy)>;

// The stop's handshake between requestStop, which a signal handler calls, and the server
// thread. Process-wide for that reason.
struct StopHandshake {
    std::atomic<bool> requested{false};
    // The context while its service loop runs, for requestStop to wake the loop. Callers of
    // requestStop count themselves in before they read it, so that the server thread, once it
    // has withdrawn it, waits for any caller still using it before destroying it.
    std::atomic<lws_context*> running{nullptr};
    std::atomic<int> wakersInside{0};
};
StopHandshake stop;

lws_context_creation_info creationRecord(StoreWorkers& workers) {
    lws_context_creation_info info{};
    info.user = &workers;  // the context's; each virtual host carries the table of connections
    info.port = kServerPort;
    info.protocols = kProtocolTable;
    info.extensions = kExtensionTable;
    info.gid = -1;
    info.uid = -1;
    info.options = LWS_SERVER_OPTION_VALIDATE_UTF8 | LWS_SERVER_OPTION_EXPLICIT_VHOSTS |
                   LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND;
    info.timeout_secs = kRequestTimeoutSeconds;
    // A request waiting for the user keeps its header table; idle connections are cut by
    // the request head deadline instead.
    info.timeout_secs_ah_idle = kHeaderTableHold;
    // Bytes read from a socket per service pass (4 KiB by default): large requests arrive in
    // fewer passes.
    info.pt_serv_buf_size = 64 * 1024;
    info.mounts = &kCallbackMount;
    return info;
}

bool createVirtualHost(lws_context* context, lws_context_creation_info info, const char* name,
                       const char* iface) {
    info.vhost_name = name;
    info.iface = iface;
    lws_vhost* vhost = lws_create_vhost(context, &info);
    return vhost != nullptr && lws_get_vhost_listen_port(vhost) == kServerPort;
}

// The listeners, each lent the table of connections: loopback only, unless the build asks for every
// interface. IPv4 loopback is required; IPv6 loopback is served when the host has it (many hosts
// turn IPv6 off). A port taken on either is a failure: pages that reach "localhost" over IPv6 must
// not send their documents to another program.
bool createVirtualHosts(lws_context* context, lws_context_creation_info info,
                        ConnectionTable& connections) {
    info.user = &connections;
#ifdef QUILLMARK_LISTEN_ALL
    return lws_create_vhost(context, &info) != nullptr;
#else
    if (!createVirtualHost(context, info, "loopback-ipv4", "lo")) return false;
    if (!createVirtualHost(context, info, "loopback-ipv6", "::1")) {
        // The library tells no reason: a bind of our own does.
        if (!ipv6LoopbackMissing(kServerPort)) return false;
        lwsl_warn("IPv6 loopback (::1) unavailable: listening on 127.0.0.1 only\n");
    }
    return true;
#endif
}

// One pass of the service loop; false when the library fails. The pass's log entries are
// written together at its end.
bool servePass(lws_context* context) {
    const LogBatch batch;
    // The installed library ignores any timeout of 0 or more and waits until its next
    // scheduled event; requestStop wakes it with lws_cancel_service.
    return lws_service(context, 0) >= 0;
}

}  // namespace

void requestStop() {
    stop.requested = true;
    closePinentries();  // a PIN or consent dialog still open would hold a store worker
    ++stop.wakersInside;
    if (lws_context* context = stop.running.load()) lws_cancel_service(context);
    --stop.wakersInside;
}

// Sets up the listeners, starts a new log, serves until requestStop, then withdraws the
// context from requestStop and destroys it.
unsigned serverThreadMain(std::promise<bool>* ready, const RequestServices& services) {
    const auto tellReady = [ready](bool listening) {
        if (ready != nullptr) ready->set_value(listening);
    };
    lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, nullptr);
    lwsl_notice("Quillmark signing agent on port %d\n", kServerPort);

    StoreWorkers workers([&services](WorkOrder& order, const StoreHandle& store) {
        return runWorkOrder(order, store, services);
    });
    lws_context_creation_info info = creationRecord(workers);
    // The library sizes its tables from this; the table's cap keeps connections within them.
    info.fd_limit_per_thread = raiseDescriptorLimit();
    // Outlives the context, whose end reports every connection closed.
    ConnectionTable connections(info.fd_limit_per_thread, {connectionBusy, probeBusyPeer});
    ContextPtr context(lws_create_context(&info), lws_context_destroy);
    if (!context) {
        lwsl_err("libwebsocket init failed\n");
        tellReady(false);
        return kSetupFailed;
    }
    if (!createVirtualHosts(context.get(), info, connections)) {
        lwsl_err("vhost creation failed\n");
        tellReady(false);
        return kSetupFailed;
    }
    // Only the copy that has the port may move the logs: another copy may be writing them.
    resetLog();

    workers.serve(context.get());
    stop.running = context.get();
    tellReady(true);
    while (!stop.requested && servePass(context.get())) {
    }
    finishAcceptedRequests(context.get(), connections);
    stop.running = nullptr;
    while (stop.wakersInside.load() != 0)
        std::this_thread::yield();
    workers.stop();  // before the context they wake goes
    waitForKeypadLogins();
    context.reset();
    flushLog();  // the counts of refusals still being counted

    lwsl_notice("libwebsockets-test-server exited cleanly\n");
    return 0;
}

ServerThread startServerThread(const RequestServices& services) {
    auto ready = std::make_shared<std::promise<bool>>();
    ServerThread thread{ready->get_future(), {}};
    thread.exitCode = std::async(
        std::launch::async, [ready, &services] { return serverThreadMain(ready.get(), services); });
    return thread;
}

}  // namespace quillmark
