#include "policies/installed_browsers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <vector>

#include "temporary_state.h"

namespace quillmark {
namespace {

// Puts a file at a path under the root, with the mode given.
void place(const std::string& root, const std::string& path, mode_t mode) {
    std::filesystem::create_directories(std::filesystem::path(root + path).parent_path());
    std::ofstream(root + path) << "#!/bin/sh\n";
    ASSERT_EQ(chmod((root + path).c_str(), mode), 0);
}

std::vector<Browser> installedUnder(const std::string& root) {
    const InstalledBrowsers installed(root);
    std::vector<Browser> found;
    for (const Browser browser : kBrowsers)
        if (installed.has(browser)) found.push_back(browser);
    return found;
}

// A browser is installed when one of its programs is an executable file, reached through a
// link or not; a program that is not executable, or a folder in its place, is no browser.
TEST(InstalledBrowsers, AnExecutableProgramTellsABrowserIsInstalled) {
    const TemporaryDirectory root;
    EXPECT_EQ(installedUnder(root.path()), std::vector<Browser>{});
    std::filesystem::create_directories(root.path() + "/usr/lib/chromium/chromium");
    place(root.path(), "/usr/lib/firefox-esr/firefox-esr", 0644);
    place(root.path(), "/opt/google/chrome-beta/google-chrome", 0755);
    ASSERT_EQ(symlink("google-chrome", (root.path() + "/opt/google/chrome-beta/chrome").c_str()),
              0);
    EXPECT_EQ(installedUnder(root.path()), std::vector<Browser>{Browser::Chrome});

    place(root.path(), "/usr/lib64/chromium-browser/chromium-browser", 0755);
    place(root.path(), "/snap/firefox/current/usr/lib/firefox/firefox", 0755);
    EXPECT_EQ(installedUnder(root.path()),
              (std::vector<Browser>{Browser::Chromium, Browser::Chrome, Browser::Firefox}));
}

}  // namespace
}  // namespace quillmark
