#include "dialogs/shown_text.h"

#include <cstddef>

#include "support/utf8_cut.h"

namespace quillmark {
namespace {

constexpr std::size_t kShownTextLimit = 200;
constexpr char kCut[] = "…";

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

}  // namespace

std::string shownText(const std::string& text, bool asciiOnly) {
    std::string shown;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        shown += isControl(byte) ? ' ' : asciiOnly && byte >= 0x80 ? '?' : c;
    }
    if (shown.size() <= kShownTextLimit) return shown;
    return shown.substr(0, utf8CutLength(shown, kShownTextLimit)) + kCut;
}

}  // namespace quillmark
