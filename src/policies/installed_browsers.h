#pragma once

#include <string>

namespace quillmark {

// The browsers whose policies the agent writes, by the names its messages give them.
enum class Browser { Chromium, Chrome, Firefox };
constexpr Browser kBrowsers[] = {Browser::Chromium, Browser::Chrome, Browser::Firefox};
const char* browserName(Browser browser);

// Which of the browsers are installed: a browser is when one of the programs its packages put
// in place is an executable file. Chromium's are Debian's and Fedora's (both read
// /etc/chromium), Chrome's those of its three channels, Firefox's those of Debian's ESR,
// Mozilla's and Ubuntu's packages, Fedora's, Mozilla's archive unpacked in /opt and Ubuntu's
// snap.
class InstalledBrowsers {
  public:
    // Looks under `root`, the machine's own "/" when empty.
    explicit InstalledBrowsers(const std::string& root = {});

    bool has(Browser browser) const;

  private:
    bool chromium_;
    bool chrome_;
    bool firefox_;
};

}  // namespace quillmark
