#include "server/server_thread.h"

#include <libwebsockets.h>
#include <signal.h>

#include <atomic>
#include <memory>

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

bool createVirtualHost(lws_context* context, lws_context_creation_info info, const char* name,
                       const char* iface) {
    info.vhost_name = name;
    info.iface = iface;
    lws_vhost* vhost = lws_create_vhost(context, &info);
    return vhost != nullptr && lws_get_vhost_listen_port(vhost) == kServerPort;
}

// The listeners: loopback only, unless the build asks for every interface. IPv4 loopback is
// required; IPv6 loopback is served when the host has it (many hosts turn IPv6 off).
bool createVirtualHosts(lws_context* context, const lws_context_creation_info& info) {
#ifdef QUILLMARK_LISTEN_ALL
    return lws_create_vhost(context, &info) != nullptr;
#else
    if (!createVirtualHost(context, info, "loopback-ipv4", "lo")) return false;
    if (!createVirtualHost(context, info, "loopback-ipv6", "::1")) {
        lwsl_warn("IPv6 loopback (::1) unavailable: listening on 127.0.0.1 only\n");
    }
    return true;
#endif
}

}  // namespace

void onInterruptSignal(int) {
    stopRequested = 1;
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
