// The raw-text extraction of a WebSocket sign request's Base64 payload; the result is always
// a part of the request text.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol/cert_requests.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view extracted = quillmark::extractDataBase64Text(text);
    if (!extracted.empty() && text.find(extracted) == std::string_view::npos) std::abort();
    return 0;
}
