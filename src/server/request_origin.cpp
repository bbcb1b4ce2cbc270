#include "server/request_origin.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace quillmark {

void readRequestOrigin(lws* wsi, RequestOrigin& origin) {
    origin.length = 0;
    const int total = lws_hdr_total_length(wsi, WSI_TOKEN_ORIGIN);
    if (total <= 0) return;
    std::vector<char> header(static_cast<std::size_t>(total) + 1);
    const int copied = lws_hdr_copy(wsi, header.data(), total + 1, WSI_TOKEN_ORIGIN);
    if (copied <= 0) return;
    const std::size_t length = std::min(static_cast<std::size_t>(copied), sizeof origin.text);
    std::memcpy(origin.text, header.data(), length);
    origin.length = static_cast<std::uint16_t>(length);
}

}  // namespace quillmark
