#pragma once

#include <chrono>
#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quillmark {

// Counts entries of a kind that may come in floods (a refused page retrying thousands of times a
// second), so that the log keeps one entry a window rather than all of them. The first entry of
// a kind in a window is written; later ones are only counted, and the count is told as
// "… N more: kind" once the window has passed. At most kMaxKinds kinds are counted at a time:
// entries of further kinds are written as they come. Not thread-safe: its owner locks.
class LogRepeats {
  public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::size_t kMaxKinds = 256;

    explicit LogRepeats(Clock::duration window) : window_(window) {}

    // True when an entry of this kind is to be written now; false when it was counted. Windows
    // that have passed by `now` must have been ended first.
    bool admit(std::string_view kind, Clock::time_point now);
    // The count lines of the windows that have passed by `now` (all of them when `now` is
    // max()), in the order of their kinds; their kinds are then written again.
    std::vector<std::string> ended(Clock::time_point now);

  private:
    struct Window {
        Clock::time_point end;
        unsigned long repeats = 0;
    };

    Clock::duration window_;
    std::map<std::string, Window, std::less<>> windows_;
    Clock::time_point nextEnd_ = Clock::time_point::max();
};

}  // namespace quillmark
