#include "server/request_origin.h"

#include <cstring>
#include <vector>

namespace quillmark {

void readRequestOrigin(lws* wsi, RequestOrigin& origin) {
    origin.text[0] = '\0';
    const int total = lws_hdr_total_length(wsi, WSI_TOKEN_ORIGIN);
    if (total <= 0) return;
    std::vector<char> header(static_cast<std::size_t>(total) + 1);
    const int copied = lws_hdr_copy(wsi, header.data(), total + 1, WSI_TOKEN_ORIGIN);
    if (copied <= 0) return;
    std::size_t length = static_cast<std::size_t>(copied);
    if (length > kMaxOriginLength) {
        length = kMaxOriginLength;
        // Cut on a character boundary: never inside a UTF-8 sequence.
        while (length > 0 && (static_cast<unsigned char>(header[length]) & 0xC0) == 0x80)
            --length;
    }
    std::memcpy(origin.text, header.data(), length);
    origin.text[length] = '\0';
}

}  // namespace quillmark
