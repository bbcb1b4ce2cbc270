#include "support/log_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>
#include <vector>

#include "support/log_repeats.h"
#include "support/module_path.h"
#include "temporary_state.h"

using namespace quillmark;

namespace {

std::string logContents(const std::string& path = logFilePath()) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// Another program's change to the log is followed at the next check of its path.
void waitForPathCheck() {
    std::this_thread::sleep_for(kLogPathCheckInterval + std::chrono::milliseconds(10));
}

// The text after the "date time " stamp of every entry.
std::string entryText(const std::string& line) {
    const auto afterDate = line.find(' ');
    return line.substr(line.find(' ', afterDate + 1) + 1);
}

mode_t modeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

}  // namespace

TEST(LogFile, LivesBesideTheExecutableInAWritableDirectory) {
    EXPECT_EQ(logFilePath(), getModuleDirectory() + "log.txt");
    EXPECT_EQ(getModuleDirectory().back(), '/');
    TemporaryDirectory own;
    EXPECT_EQ(chooseLogFilePath(own.path() + "/"), own.path() + "/log.txt");
}

TEST(LogFile, GoesToThePrivateStateDirectoryWhenTheExecutableDirectoryIsNotWritable) {
    TemporaryDirectory home;
    const std::string readOnly = home.path() + "/bin";
    ASSERT_EQ(mkdir(readOnly.c_str(), 0555), 0);
    ScopedVariable homeVariable("HOME", home.path().c_str());
    ScopedVariable stateVariable("XDG_STATE_HOME", "relative/is/ignored");

    // Root writes through any mode, so the check runs as an ordinary user there.
    const uid_t owner = geteuid();
    if (owner == 0) {
        ASSERT_EQ(chown(home.path().c_str(), 65534, 65534), 0);
        ASSERT_EQ(seteuid(65534), 0);
    }
    const std::string path = chooseLogFilePath(readOnly + "/");
    if (owner == 0) {
        ASSERT_EQ(seteuid(0), 0);
    }

    EXPECT_EQ(path, home.path() + "/.local/state/quillmark/log.txt");
    EXPECT_EQ(modeOf(home.path() + "/.local/state/quillmark"), 0700u);
    EXPECT_EQ(modeOf(home.path() + "/.local/state"), 0700u);
}

TEST(LogFile, AnInstalledCopyLogsToXdgStateHomeEvenWhenItCouldWriteBesideItself) {
    TemporaryDirectory state;
    ScopedVariable stateVariable("XDG_STATE_HOME", state.path().c_str());
    EXPECT_EQ(chooseLogFilePath(QUILLMARK_INSTALL_BINDIR), state.path() + "/quillmark/log.txt");
    EXPECT_EQ(modeOf(state.path() + "/quillmark"), 0700u);
}

TEST(LogFile, ResetKeepsTheFourPreviousLogsAsOlderFilesAllPrivate) {
    for (int run = 1; run <= kLogFilesKept + 1; ++run) {
        writeLog("run " + std::to_string(run));
        ASSERT_EQ(chmod(logFilePath().c_str(), 0644), 0);
        resetLog();
    }
    EXPECT_EQ(logContents(), "Start\n");
    EXPECT_EQ(modeOf(logFilePath()), 0600u);
    // The last run is in log.txt.1, the oldest kept in log.txt.4; none goes further.
    for (int older = 1; older < kLogFilesKept; ++older) {
        const std::string previous = logFilePath() + "." + std::to_string(older);
        const std::string run = std::to_string(kLogFilesKept + 2 - older);
        EXPECT_NE(logContents(previous).find(" run " + run + "\n"), std::string::npos) << older;
        EXPECT_EQ(modeOf(previous), 0600u);
        std::filesystem::remove(previous);
    }
    EXPECT_FALSE(std::filesystem::exists(logFilePath() + "." + std::to_string(kLogFilesKept)));
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

TEST(LogFile, CapsEntriesLongerThanTheLimit) {
    struct tm t {};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 2;
    t.tm_mday = 7;
    const std::string stamp = "2024/3/7 0:0:0 ";
    const std::string atCap(kLogEntryCap, 'a');
    EXPECT_EQ(formatLogEntry(t, atCap), stamp + atCap + "\n");
    EXPECT_EQ(formatLogEntry(t, atCap + "bc"),
              stamp + atCap + "\xE2\x80\xA6 (" + std::to_string(kLogEntryCap + 2) + " bytes)\n");

    // "é" (two bytes) across the cap is left out whole rather than cut in half.
    const std::string split = std::string(kLogEntryCap - 1, 'a') + "\xC3\xA9z";
    EXPECT_EQ(formatLogEntry(t, split), stamp + std::string(kLogEntryCap - 1, 'a') +
                                            "\xE2\x80\xA6 (" + std::to_string(kLogEntryCap + 2) +
                                            " bytes)\n");
}

TEST(LogFile, CapsDataEntriesByTheLengthOfTheirBase64Form) {
    resetLog();
    // 3072 bytes make exactly the cap's 4096 Base64 characters; 3073 make 4100.
    const std::vector<std::uint8_t> bytes(kLogEntryCap / 4 * 3 + 1, 0xff);
    writeLogData(bytes.data(), bytes.size() - 1);
    writeLogData(bytes.data(), bytes.size());

    std::istringstream lines(logContents());
    std::string line;
    std::getline(lines, line);
    std::getline(lines, line);
    EXPECT_EQ(entryText(line), std::string(kLogEntryCap, '/'));
    std::getline(lines, line);
    EXPECT_EQ(entryText(line), std::string(kLogEntryCap, '/') + "\xE2\x80\xA6 (4100 bytes)");
}

TEST(LogFile, RotatesBeforePassingTheSizeLimitAndStaysPrivate) {
    const std::string rotated = logFilePath() + ".1";
    std::filesystem::remove(rotated);
    resetLog();
    writeLog("old");
    ASSERT_EQ(truncate(logFilePath().c_str(), kLogRotationSize - 10), 0);
    waitForPathCheck();
    writeLog("new");

    EXPECT_EQ(std::filesystem::file_size(rotated), kLogRotationSize - 10);
    EXPECT_EQ(entryText(logContents()), "new\n");
    EXPECT_EQ(modeOf(logFilePath()), 0600u);
    std::filesystem::remove(rotated);
}

TEST(LogFile, ReceivesEveryEntryAfterTheFileWasRemovedOrReplaced) {
    resetLog();
    ASSERT_EQ(unlink(logFilePath().c_str()), 0);
    waitForPathCheck();
    writeLog("after removal");
    EXPECT_EQ(entryText(logContents()), "after removal\n");
    EXPECT_EQ(modeOf(logFilePath()), 0600u);

    const std::string replacement = logFilePath() + ".new";
    std::ofstream(replacement) << "Replaced\n";
    ASSERT_EQ(rename(replacement.c_str(), logFilePath().c_str()), 0);
    waitForPathCheck();
    writeLog("after replacement");
    std::istringstream lines(logContents());
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "Replaced");
    std::getline(lines, line);
    EXPECT_EQ(entryText(line), "after replacement");
}

TEST(LogFile, ABatchGathersItsThreadsEntriesAndKeepsTheirOrderWithOtherThreads) {
    resetLog();
    {
        const LogBatch batch;
        writeLog("first of the batch");
        writeLog("second of the batch");
        EXPECT_EQ(logContents(), "Start\n");
        // Another thread's entry is newer: the gathered ones go before it.
        std::thread([] { writeLog("other thread"); }).join();
        writeLog("third of the batch");
        EXPECT_EQ(logContents().find("third"), std::string::npos);
        flushLog();
        EXPECT_NE(logContents().find("third"), std::string::npos);
        writeLog("last of the batch");
    }
    std::istringstream lines(logContents());
    std::string line;
    std::getline(lines, line);
    for (const char* expected : {"first of the batch", "second of the batch", "other thread",
                                 "third of the batch", "last of the batch"}) {
        ASSERT_TRUE(std::getline(lines, line)) << expected;
        EXPECT_EQ(entryText(line), expected);
    }
    // Without a batch, each entry is written at once.
    writeLog("unbatched");
    EXPECT_NE(logContents().find("unbatched"), std::string::npos);
}

// A flood of one kind costs one entry a window and a count; kinds are counted apart, and
// beyond the cap of kinds entries are written rather than lost.
TEST(LogRepeats, CountsAKindsRepeatsWithinItsWindow) {
    using Clock = LogRepeats::Clock;
    const Clock::time_point start;
    LogRepeats repeats(std::chrono::seconds(10));
    EXPECT_TRUE(repeats.admit("refused: a", start));
    EXPECT_TRUE(repeats.admit("refused: b", start + std::chrono::seconds(5)));
    for (int second = 1; second < 10; ++second)
        EXPECT_FALSE(repeats.admit("refused: a", start + std::chrono::seconds(second)));
    EXPECT_TRUE(repeats.ended(start + std::chrono::seconds(9)).empty());
    EXPECT_EQ(repeats.ended(start + std::chrono::seconds(10)),
              std::vector<std::string>{"\xE2\x80\xA6 9 more: refused: a"});
    EXPECT_TRUE(repeats.admit("refused: a", start + std::chrono::seconds(10)));
    // A window without repeats ends with no count.
    EXPECT_TRUE(repeats.ended(start + std::chrono::seconds(15)).empty());
    EXPECT_FALSE(repeats.admit("refused: a", start + std::chrono::seconds(15)));
    EXPECT_EQ(repeats.ended(Clock::time_point::max()),
              std::vector<std::string>{"\xE2\x80\xA6 1 more: refused: a"});

    for (std::size_t kind = 0; kind < LogRepeats::kMaxKinds; ++kind)
        EXPECT_TRUE(repeats.admit(std::to_string(kind), start));
    EXPECT_TRUE(repeats.admit("one kind too many", start));
    EXPECT_TRUE(repeats.admit("one kind too many", start));
    EXPECT_FALSE(repeats.admit("0", start));
}

TEST(LogFile, CountedEntriesAreWrittenOnceAndTheirCountAtTheFlush) {
    resetLog();
    for (int attempt = 0; attempt < 1000; ++attempt)
        writeLogCounted("Connection refused: flood.example",
                        "Connection refused: page " + std::to_string(attempt));
    writeLog("an entry of another kind");
    flushLog();
    std::vector<std::string> texts;
    std::istringstream lines(logContents());
    for (std::string line; std::getline(lines, line);)
        texts.push_back(entryText(line));
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "Start", "Connection refused: page 0", "an entry of another kind",
                         "\xE2\x80\xA6 999 more: Connection refused: flood.example"}));
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
