#pragma once

#include <cstddef>
#include <string_view>

namespace quillmark {

// The length of the text cut to at most `limit` bytes without splitting a UTF-8 character:
// the whole text when it fits, else `limit` moved back to the start of the sequence it
// would cut (at most three bytes back, the longest a sequence's tail can be, so a run of
// stray continuation bytes is still cut near the limit).
std::size_t utf8CutLength(std::string_view text, std::size_t limit);

}  // namespace quillmark
