#pragma once

#include <cstddef>
#include <string_view>

namespace quillmark {

// A request received in pieces (HTTP body pieces, WebSocket message pieces), joined into one
// NUL-terminated heap text. Plain data, so that it can live in the library's zero-filled
// per-connection records; releaseRequestText frees it on every path.
struct RequestText {
    char* text;  // null until the first non-empty piece
    std::size_t length;
    std::size_t capacity;
};

// A request larger than this is not served: the endpoint closes the connection.
constexpr std::size_t kMaxRequestLength = 128u * 1024 * 1024;

// Appends a piece and keeps the text NUL-terminated. False when the request would pass
// kMaxRequestLength or memory runs out; the request is then released.
bool appendRequestPiece(RequestText& request, const char* piece, std::size_t length);

// The request as it is read: the text up to its first NUL, if any (empty when there is none).
std::string_view requestView(const RequestText& request);

// Frees the text and leaves the record empty.
void releaseRequestText(RequestText& request);

}  // namespace quillmark
