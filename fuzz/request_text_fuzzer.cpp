// Joins the input in pieces whose lengths come from the input itself, as HTTP bodies and
// WebSocket messages arrive, and checks the joined text is the input, NUL-terminated.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "server/request_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t pieceLimit = data[0] + 1;
    const char* text = reinterpret_cast<const char*>(data + 1);
    const std::size_t length = size - 1;

    quillmark::RequestText request{};
    for (std::size_t offset = 0; offset < length;) {
        const std::size_t piece = std::min(pieceLimit, length - offset);
        if (!quillmark::appendRequestPiece(request, text + offset, piece)) std::abort();
        offset += piece;
    }
    if (request.length != length) std::abort();
    if (length != 0 &&
        (std::memcmp(request.text, text, length) != 0 || request.text[length] != '\0'))
        std::abort();
    quillmark::releaseRequestText(request);
    return 0;
}
