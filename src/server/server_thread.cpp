#include "server/server_thread.h"

#include <libwebsockets.h>
#include <signal.h>

#include <atomic>
#include <memory>

#include "platform/pin_entry.h"
#include "server/protocol_table.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

constexpr unsigned kSetupFailed = static_cast<unsigned>(-1);

using ContextPtr = std::unique_ptr<lws_context, decltype(&lws_context_destroy)>;

std::atomic<lws_context*> serverContext{nullptr};
volatile sig_atomic_t stopRequested = 0;

void installInterruptHandler() {
    struct sigaction action {};
    action.sa_handler = onInterruptSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
}

lws_context_creation_info creationRecord() {
    lws_context_creation_info info{};
    info.port = kServerPort;
    info.protocols = kProtocolTable;
    info.extensions = kExtensionTable;
    info.gid = -1;
    info.uid = -1;
    info.options = LWS_SERVER_OPTION_VALIDATE_UTF8 | LWS_SERVER_OPTION_EXPLICIT_VHOSTS |
                   LWS_SERVER_OPTION_FAIL_UPON_UNABLE_TO_BIND;
    info.timeout_secs = 5;
    info.mounts = &kCallbackMount;
    return info;
}

// The listeners: loopback only (IPv4 and IPv6), unless the build asks for every interface.
bool createVirtualHosts(lws_context* context, lws_context_creation_info info) {
#ifdef QUILLMARK_LISTEN_ALL
    return lws_create_vhost(context, &info) != nullptr;
#else
    const struct {
        const char* name;
        const char* iface;
    } loopbacks[] = {{"loopback-ipv4", "lo"}, {"loopback-ipv6", "::1"}};
    for (const auto& loopback : loopbacks) {
        info.vhost_name = loopback.name;
        info.iface = loopback.iface;
        lws_vhost* vhost = lws_create_vhost(context, &info);
        if (vhost == nullptr || lws_get_vhost_listen_port(vhost) != kServerPort) return false;
    }
    return true;
#endif
}

}  // namespace

void onInterruptSignal(int) {
    stopRequested = 1;
    closeOpenPinEntry();
    if (lws_context* context = serverContext.load()) lws_cancel_service(context);
}

unsigned serverThreadMain(void*) {
    resetLog();
    installInterruptHandler();
    lws_set_log_level(LLL_ERR | LLL_WARN | LLL_NOTICE, nullptr);
    lwsl_notice("libwebsockets test server - license LGPL2.1+SLE\n");
    lwsl_notice("Quillmark signing agent on port %d\n", kServerPort);

    const lws_context_creation_info info = creationRecord();
    ContextPtr context(lws_create_context(&info), lws_context_destroy);
    if (!context) {
        lwsl_err("libwebsocket init failed\n");
        return kSetupFailed;
    }
    if (!createVirtualHosts(context.get(), info)) {
        lwsl_err("vhost creation failed\n");
        return kSetupFailed;
    }
    serverContext = context.get();
    while (!stopRequested) {
        if (lws_service(context.get(), 50) < 0) break;
    }
    serverContext = nullptr;
    context.reset();
    lwsl_notice("libwebsockets-test-server exited cleanly\n");
    return 0;
}

std::future<unsigned> startServerThread() {
    return std::async(std::launch::async, serverThreadMain, nullptr);
}

}  // namespace quillmark
