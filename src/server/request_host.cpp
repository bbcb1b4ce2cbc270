#include "server/request_host.h"

#include <arpa/inet.h>
#include <strings.h>

#include <string>

#include "server/agent_port.h"
#include "support/log_file.h"

namespace quillmark {
namespace {

#ifdef QUILLMARK_LISTEN_ALL
constexpr bool kListensOnEveryInterface = true;
#else
constexpr bool kListensOnEveryInterface = false;
#endif

// The host without ":7681"; any other port leaves the text as it is, so it matches no name.
std::string_view withoutAgentPort(std::string_view host) {
    const std::string portSuffix = ":" + std::to_string(kServerPort);
    if (host.size() > portSuffix.size() &&
        host.substr(host.size() - portSuffix.size()) == portSuffix)
        host.remove_suffix(portSuffix.size());
    return host;
}

bool isAddressLiteral(std::string_view name) {
    unsigned char address[16];
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') {
        const std::string inside(name.substr(1, name.size() - 2));
        return inet_pton(AF_INET6, inside.c_str(), address) == 1;
    }
    return inet_pton(AF_INET, std::string(name).c_str(), address) == 1;
}

std::string requestHost(lws* wsi) {
    const int length = lws_hdr_total_length(wsi, WSI_TOKEN_HOST);
    if (length <= 0) return {};
    std::string host(static_cast<std::size_t>(length) + 1, '\0');
    const int copied = lws_hdr_copy(wsi, host.data(), length + 1, WSI_TOKEN_HOST);
    host.resize(copied > 0 ? static_cast<std::size_t>(copied) : 0);
    return host;
}

}  // namespace

bool hostNamesAgent(std::string_view host, bool anyAddress) {
    const std::string_view name = withoutAgentPort(host);
    constexpr std::string_view kLocalhost = "localhost";
    if (name == "127.0.0.1" || name == "[::1]") return true;
    if (name.size() == kLocalhost.size() &&
        strncasecmp(name.data(), kLocalhost.data(), kLocalhost.size()) == 0)
        return true;
    return anyAddress && isAddressLiteral(name);
}

bool requestHostAllowed(lws* wsi) {
    const std::string host = requestHost(wsi);
    if (hostNamesAgent(host, kListensOnEveryInterface)) return true;
    // A page chooses its Host freely: its refusals are counted together, whatever it names.
    writeLogCounted("Request refused: Host is not this computer (DNS rebinding)",
                    "Request refused: Host \"" + host + "\" is not this computer (DNS rebinding)");
    return false;
}

}  // namespace quillmark
