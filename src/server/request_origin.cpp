#include "server/request_origin.h"

#include <cstring>
#include <vector>

#include "support/utf8_cut.h"

namespace quillmark {

void readRequestOrigin(lws* wsi, RequestOrigin& origin) {
    origin.text[0] = '\0';
    const int total = lws_hdr_total_length(wsi, WSI_TOKEN_ORIGIN);
    if (total <= 0) return;
    std::vector<char> header(static_cast<std::size_t>(total) + 1);
    const int copied = lws_hdr_copy(wsi, header.data(), total + 1, WSI_TOKEN_ORIGIN);
    if (copied <= 0) return;
    const std::size_t length = utf8CutLength(
        std::string_view(header.data(), static_cast<std::size_t>(copied)), kMaxOriginLength);
    std::memcpy(origin.text, header.data(), length);
    origin.text[length] = '\0';
}

}  // namespace quillmark
