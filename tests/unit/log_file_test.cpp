#include "support/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <sstream>

#include "support/module_path.h"

using namespace quillmark;

namespace {

std::string logContents() {
    std::ifstream file(logFilePath(), std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// The text after the "date time " stamp of every entry.
std::string entryText(const std::string& line) {
    const auto afterDate = line.find(' ');
    return line.substr(line.find(' ', afterDate + 1) + 1);
}

}  // namespace

TEST(LogFile, LivesBesideTheExecutable) {
    EXPECT_EQ(logFilePath(), getModuleDirectory() + "log.txt");
    EXPECT_EQ(getModuleDirectory().back(), '/');
}

TEST(LogFile, ResetLeavesOnlyStartAndIsPrivate) {
    writeLog("before");
    resetLog();
    EXPECT_EQ(logContents(), "Start\n");
    struct stat info {};
    ASSERT_EQ(stat(logFilePath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(LogFile, AppendsTimestampedEntriesVerbatim) {
    resetLog();
    writeLog("ready");
    writeLog("");
    writeLog("ends in a line end\n");
    const std::uint8_t bytes[] = {0xfb, 0xff};
    writeLogData(bytes, sizeof bytes);
    writeLogData(bytes, 0);

    std::istringstream lines(logContents());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Start");
    for (const char* expected : {"ready", "", "ends in a line end", "", "+/8=", ""}) {
        std::getline(lines, line);
        EXPECT_EQ(line.empty() ? line : entryText(line), expected);
    }
}

TEST(LogFile, FormatsLocalTimeWithoutLeadingZeros) {
    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 7;
    t.tm_hour = 9;
    t.tm_min = 5;
    t.tm_sec = 3;
    EXPECT_EQ(formatLogEntry(t, "ready"), "2024/3/7 9:5:3 ready\n");
    EXPECT_EQ(formatLogEntry(t, ""), "2024/3/7 9:5:3 \n");
}

TEST(IntToDecimal, WritesPositiveValuesOnly) {
    EXPECT_EQ(intToDecimal(907), "907");
    EXPECT_EQ(intToDecimal(0), "");
    EXPECT_EQ(intToDecimal(-5), "");
}

TEST(ModulePath, TakesTheFileNameAfterEitherSeparator) {
    EXPECT_EQ(fileNameOf("/usr/bin/quillmarkd"), "quillmarkd");
    EXPECT_EQ(fileNameOf("C:\\agent\\QuillmarkXp.exe"), "QuillmarkXp.exe");
    EXPECT_EQ(fileNameOf("quillmarkd"), "quillmarkd");
}
