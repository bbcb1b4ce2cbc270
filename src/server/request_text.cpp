#include "server/request_text.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace quillmark {

bool appendRequestPiece(RequestText& request, const char* piece, std::size_t length) {
    if (length == 0) return true;
    if (length > kMaxRequestLength - request.length) {
        releaseRequestText(request);
        return false;
    }
    const std::size_t needed = request.length + length + 1;
    if (needed > request.capacity) {
        // Doubling keeps a request of many small pieces linear in its size.
        const std::size_t capacity = std::max(needed, 2 * request.capacity);
        char* grown = static_cast<char*>(std::realloc(request.text, capacity));
        if (grown == nullptr) {
            releaseRequestText(request);
            return false;
        }
        request.text = grown;
        request.capacity = capacity;
    }
    std::memcpy(request.text + request.length, piece, length);
    request.length += length;
    request.text[request.length] = '\0';
    return true;
}

std::string_view requestView(const RequestText& request) {
    if (request.text == nullptr) return {};
    const void* nul = std::memchr(request.text, '\0', request.length);
    const std::size_t length =
        nul != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nul) - request.text)
                       : request.length;
    return {request.text, length};
}

void releaseRequestText(RequestText& request) {
    std::free(request.text);
    request = RequestText{};
}

}  // namespace quillmark
