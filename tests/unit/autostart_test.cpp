#include "desktop/autostart.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using namespace quillmark;
namespace fs = std::filesystem;

TEST(AutostartExec, QuotesOnlyWhatNeedsQuoting) {
    EXPECT_EQ(execArgument("/usr/bin/QuillmarkXp"), "/usr/bin/QuillmarkXp");
    EXPECT_EQ(execArgument("/opt/x-1.0_+,=@/QuillmarkXp"), "/opt/x-1.0_+,=@/QuillmarkXp");
    EXPECT_EQ(execArgument("/home/an ne/QuillmarkXp"), "\"/home/an ne/QuillmarkXp\"");
    EXPECT_EQ(execArgument("/opt/Ứng dụng/QuillmarkXp"), "\"/opt/Ứng dụng/QuillmarkXp\"");
    for (const char* reserved : {"'", ">", "<", "~", "|", "&", ";", "*", "?", "#", "(", ")"})
        EXPECT_EQ(execArgument(std::string("/a") + reserved + "b"),
                  std::string("\"/a") + reserved + "b\"");
}

TEST(AutostartExec, EscapesInsideQuotesThenAsAString) {
    // Inside quotes '"', '`', '$' and '\' take a backslash; then every backslash of the value
    // is doubled, as the string escapes are undone before the quotes are read.
    EXPECT_EQ(execArgument("/a\"b"), "\"/a\\\\\"b\"");
    EXPECT_EQ(execArgument("/a`b"), "\"/a\\\\`b\"");
    EXPECT_EQ(execArgument("/a$b"), "\"/a\\\\$b\"");
    EXPECT_EQ(execArgument("/a\\b"), "\"/a\\\\\\\\b\"");
    EXPECT_EQ(execArgument("/a\nb"), "\"/a\\nb\"");
    EXPECT_EQ(execArgument("/a\tb"), "\"/a\\tb\"");
    // '%' starts a field code: it is doubled, quoted or not.
    EXPECT_EQ(execArgument("/opt/100%/QuillmarkXp"), "/opt/100%%/QuillmarkXp");
    EXPECT_EQ(execArgument("/opt/100 %/QuillmarkXp"), "\"/opt/100 %%/QuillmarkXp\"");
}

class AutostartEntry : public testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/quillmark-autostart-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        setenv("HOME", (root_ / "home").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root_ / "config" / "deeper").c_str(), 1);
    }
    void TearDown() override { fs::remove_all(root_); }

    static std::string read(const fs::path& path) {
        std::ifstream file(path);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    fs::path entryPath() const { return fs::path(autostartDirectory()) / "Quillmark.desktop"; }

    fs::path root_;
};

TEST_F(AutostartEntry, IsWrittenWholeAndReplacedAtEveryStart) {
    EXPECT_EQ(autostartDirectory(), (root_ / "config" / "deeper" / "autostart").string());
    ASSERT_EQ(writeAutostartEntry("/old/QuillmarkXp"), AutostartResult::Written);
    ASSERT_EQ(writeAutostartEntry("/my apps/QuillmarkXp"), AutostartResult::Written);

    const std::string text = read(entryPath());
    EXPECT_EQ(text, autostartEntryText("/my apps/QuillmarkXp"));
    EXPECT_NE(text.find("\nExec=\"/my apps/QuillmarkXp\"\n"), std::string::npos);
    // TryExec is a plain string value: the path without the quotes of Exec.
    EXPECT_NE(text.find("\nTryExec=/my apps/QuillmarkXp\n"), std::string::npos);
    EXPECT_EQ(text.find("/old/"), std::string::npos);
    EXPECT_EQ(text.rfind("[Desktop Entry]\n", 0), 0u);
    EXPECT_EQ(fs::status(entryPath()).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                  fs::perms::others_read);
    // Nothing but the entry is left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(autostartDirectory()), {}), 1);
}

TEST_F(AutostartEntry, KeepsTheUsersChoiceToTurnItOff) {
    ASSERT_EQ(writeAutostartEntry("/old/QuillmarkXp"), AutostartResult::Written);
    // As desktops' session settings turn it off: one edits Hidden, another the GNOME key.
    std::string text = read(entryPath());
    text.replace(text.find("X-GNOME-Autostart-enabled=true"), 30,
                 "X-GNOME-Autostart-enabled = false\nHidden=true\n[Other]\nHidden=false");
    std::ofstream(entryPath()) << text;

    ASSERT_EQ(writeAutostartEntry("/new/QuillmarkXp"), AutostartResult::Written);
    text = read(entryPath());
    EXPECT_EQ(text, autostartEntryText("/new/QuillmarkXp", {"true", "false"}));
    EXPECT_NE(text.find("\nExec=/new/QuillmarkXp\nTryExec=/new/QuillmarkXp\n"), std::string::npos);
    EXPECT_NE(text.find("\nHidden=true\n"), std::string::npos);
    EXPECT_NE(text.find("\nX-GNOME-Autostart-enabled=false\n"), std::string::npos);
}

TEST_F(AutostartEntry, FallsBackToHomeWhenConfigHomeIsUnsetOrRelative) {
    setenv("XDG_CONFIG_HOME", "relative/config", 1);
    EXPECT_EQ(autostartDirectory(), (root_ / "home" / ".config" / "autostart").string());
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(autostartDirectory(), (root_ / "home" / ".config" / "autostart").string());
    ASSERT_EQ(writeAutostartEntry("/usr/bin/QuillmarkXp"), AutostartResult::Written);
    EXPECT_NE(read(entryPath()).find("\nExec=/usr/bin/QuillmarkXp\n"), std::string::npos);
}

TEST_F(AutostartEntry, ReportsWhatCouldNotBeWritten) {
    // The configuration directory is a file: no autostart directory can be made there.
    std::ofstream(root_ / "config").put('x');
    EXPECT_EQ(writeAutostartEntry("/usr/bin/QuillmarkXp"), AutostartResult::NotOpen);

    // The entry's name is taken by a directory: the directory is there, the entry is not.
    setenv("XDG_CONFIG_HOME", (root_ / "other").c_str(), 1);
    fs::create_directories(entryPath());
    EXPECT_EQ(writeAutostartEntry("/usr/bin/QuillmarkXp"), AutostartResult::NotSet);
    EXPECT_TRUE(fs::is_directory(entryPath()));
    EXPECT_EQ(std::distance(fs::directory_iterator(autostartDirectory()), {}), 1);

    // No known executable path: an entry without a command would be worse than none.
    fs::remove(entryPath());
    EXPECT_EQ(writeAutostartEntry(""), AutostartResult::NotSet);
    EXPECT_FALSE(fs::exists(entryPath()));
}
