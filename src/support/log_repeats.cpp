#include "support/log_repeats.h"

#include <algorithm>

namespace quillmark {

bool LogRepeats::admit(std::string_view kind, Clock::time_point now) {
    const auto found = windows_.find(kind);
    if (found != windows_.end() && now < found->second.end) {
        ++found->second.repeats;
        return false;
    }
    if (found == windows_.end() && windows_.size() < kMaxKinds) {
        const Clock::time_point end = now + window_;
        windows_.emplace(std::string(kind), Window{end, 0});
        nextEnd_ = std::min(nextEnd_, end);
    }
    return true;
}

// A window that passed with no repeat ends silently.
std::vector<std::string> LogRepeats::ended(Clock::time_point now) {
    std::vector<std::string> lines;
    if (now < nextEnd_) return lines;
    nextEnd_ = Clock::time_point::max();
    for (auto window = windows_.begin(); window != windows_.end();) {
        if (now < window->second.end) {
            nextEnd_ = std::min(nextEnd_, window->second.end);
            ++window;
            continue;
        }
        if (window->second.repeats != 0)
            lines.push_back("\xE2\x80\xA6 " + std::to_string(window->second.repeats) +
                            " more: " + window->first);
        window = windows_.erase(window);
    }
    return lines;
}

}  // namespace quillmark
