#include "support/utf8_cut.h"

namespace quillmark {
namespace {

constexpr int kMaxTailBytes = 3;

bool isContinuation(char byte) {
    return (static_cast<unsigned char>(byte) & 0xC0) == 0x80;
}

}  // namespace

std::size_t utf8CutLength(std::string_view text, std::size_t limit) {
    if (text.size() <= limit) return text.size();
    std::size_t cut = limit;
    for (int step = 0; step < kMaxTailBytes && cut > 0 && isContinuation(text[cut]); ++step)
        --cut;
    return cut;
}

}  // namespace quillmark
