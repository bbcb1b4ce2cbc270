// Runs every input as an HTTP and as a WebSocket request on the real dispatcher, against an
// empty certificate store in a temporary HOME (NSS creates it on the first getCerts or sign).
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "keystore/certificate_store.h"
#include "protocol/dispatcher.h"

namespace {

char home[] = "/tmp/quillmark-fuzz-home-XXXXXX";

void removeHome() {
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    if (mkdtemp(home) == nullptr || setenv("HOME", home, 1) != 0) std::abort();
    std::atexit(removeHome);
    // Signing remembers the focused window through the X server; none is needed here.
    unsetenv("DISPLAY");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace quillmark;
    // One store for the whole run, as the agent keeps one, reached without a runner.
    static CertificateStore store;
    const StoreHandle handle(store, nullptr);
    const std::string request(reinterpret_cast<const char*>(data), size);
    dispatchAction(request.c_str(), {Endpoint::Http, {}, nullptr, nullptr, &handle});
    dispatchAction(request.c_str(), {Endpoint::WebSocket, {}, nullptr, nullptr, &handle});
    return 0;
}
