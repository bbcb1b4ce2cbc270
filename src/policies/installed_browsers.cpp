#include "policies/installed_browsers.h"

#include <sys/stat.h>

#include <initializer_list>

namespace quillmark {
namespace {

bool anyExecutable(const std::string& root, std::initializer_list<const char*> programs) {
    for (const char* program : programs) {
        struct stat status {};
        if (stat((root + program).c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
            (status.st_mode & 0111) != 0)
            return true;
    }
    return false;
}

}  // namespace

const char* browserName(Browser browser) {
    switch (browser) {
        case Browser::Chromium:
            return "Chromium";
        case Browser::Chrome:
            return "Chrome";
        case Browser::Firefox:
            break;
    }
    return "Firefox";
}

InstalledBrowsers::InstalledBrowsers(const std::string& root)
    : chromium_(anyExecutable(
          root, {"/usr/lib/chromium/chromium", "/usr/lib64/chromium-browser/chromium-browser"})),
      chrome_(anyExecutable(root, {"/opt/google/chrome/chrome", "/opt/google/chrome-beta/chrome",
                                   "/opt/google/chrome-unstable/chrome"})),
      firefox_(anyExecutable(root, {"/usr/lib/firefox-esr/firefox-esr", "/usr/lib/firefox/firefox",
                                    "/usr/lib64/firefox/firefox", "/opt/firefox/firefox",
                                    "/snap/firefox/current/usr/lib/firefox/firefox"})) {}

bool InstalledBrowsers::has(Browser browser) const {
    switch (browser) {
        case Browser::Chromium:
            return chromium_;
        case Browser::Chrome:
            return chrome_;
        case Browser::Firefox:
            break;
    }
    return firefox_;
}

}  // namespace quillmark
