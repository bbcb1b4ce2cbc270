#include "support/log_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "support/base64.h"
#include "support/file_descriptor.h"
#include "support/log_repeats.h"
#include "support/module_path.h"
#include "support/regular_file.h"
#include "support/user_directories.h"
#include "support/utf8_cut.h"
#include "support/write_all.h"

namespace quillmark {
namespace {

constexpr mode_t kOwnerOnly = 0600;
constexpr mode_t kOwnerOnlyDirectory = 0700;
constexpr char kCapMark[] = "\xE2\x80\xA6 (";  // "… ("

// Base64 turns every three bytes into four characters.
constexpr std::size_t kBase64Group = 3;
constexpr std::size_t kBase64GroupText = 4;

// "stamp shown\n", with "… (fullLength bytes)" after the shown text when it is not all.
std::string entryLine(const struct tm& t, std::string_view shown, std::size_t fullLength) {
    char stamp[64];
    const int stampLength =
        std::snprintf(stamp, sizeof stamp, "%d/%d/%d %d:%d:%d ", t.tm_year + 1900, t.tm_mon + 1,
                      t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    std::string entry;
    entry.reserve(static_cast<std::size_t>(stampLength) + shown.size() + 32);
    entry.append(stamp, static_cast<std::size_t>(stampLength));
    entry.append(shown);
    if (shown.size() < fullLength) {
        entry += kCapMark;
        entry += std::to_string(fullLength);
        entry += " bytes)";
    }
    entry += '\n';
    return entry;
}

bool currentLocalTime(struct tm& localTime) {
    const std::time_t now = std::time(nullptr);
    return localtime_r(&now, &localTime) != nullptr;
}

FileDescriptor openLog(int extraFlags) {
    return openRegularFile(logFilePath(), O_WRONLY | O_APPEND | O_CREAT | extraFlags, kOwnerOnly);
}

// Which file a name stands for, and its length.
struct FileIdentity {
    unsigned deviceMajor;
    unsigned deviceMinor;
    std::uint64_t inode;
    std::uint64_t size;

    bool sameFile(const FileIdentity& other) const {
        return deviceMajor == other.deviceMajor && deviceMinor == other.deviceMinor &&
               inode == other.inode;
    }
};

// Asks for the inode and size only: a stat that reads a file's times makes the kernel give
// the next write a fresh fine-grained time stamp, and so an inode update.
std::optional<FileIdentity> identityOf(int directory, const char* name, int flags) {
    struct statx info {};
    if (statx(directory, name, flags, STATX_INO | STATX_SIZE, &info) != 0) return std::nullopt;
    return FileIdentity{info.stx_dev_major, info.stx_dev_minor, info.stx_ino, info.stx_size};
}

// The log's directory, held open so that the check before each entry looks up one name
// rather than walking the whole path.
FileDescriptor openLogDirectory() {
    const std::string path = logFilePath();
    const std::string directory = path.substr(0, path.rfind('/') + 1);
    return FileDescriptor(open(directory.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

std::string logFileName() {
    const std::string path = logFilePath();
    return path.substr(path.rfind('/') + 1);
}

// The log stays open between entries, and its length is counted here. Entries of a batch's
// thread are gathered and written together. At most every
// kLogPathCheckInterval one statx of its name tells whether the open file is still the one at
// the path (it may have been removed, replaced or resized by another program) and how long it
// is; in between an entry costs one write.
class LogWriter {
  public:
    // The counts still open belong to the log that moves away.
    void reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        gatherEndedRepeats(LogRepeats::Clock::time_point::max());
        writeGathered();
        rotate();
        write("Start\n");
    }

    // An entry of the batch's thread waits with the others gathered; any other entry goes at
    // once, after the gathered ones, which are older.
    void append(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        gatherEndedRepeats(LogRepeats::Clock::now());
        gather(entry);
    }

    // An entry of a kind that may come in floods: gathered, or only counted.
    void appendCounted(std::string_view kind, const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto now = LogRepeats::Clock::now();
        gatherEndedRepeats(now);
        if (repeats_.admit(kind, now)) gather(entry);
    }

    void beginBatch() {
        std::lock_guard<std::mutex> lock(mutex_);
        batchThread_ = std::this_thread::get_id();
    }

    void endBatch() {
        std::lock_guard<std::mutex> lock(mutex_);
        writeGathered();
        batchThread_ = std::thread::id();
    }

    // Tells every count, even of a window still open: the log may be about to move or end.
    void flush() {
        std::lock_guard<std::mutex> lock(mutex_);
        gatherEndedRepeats(LogRepeats::Clock::time_point::max());
        writeGathered();
    }

  private:
    void gather(const std::string& entry) {
        gathered_ += entry;
        if (batchThread_ != std::this_thread::get_id() || gathered_.size() >= kLogBatchLimit)
            writeGathered();
    }

    void gatherEndedRepeats(LogRepeats::Clock::time_point now) {
        const std::vector<std::string> counts = repeats_.ended(now);
        struct tm localTime {};
        if (counts.empty() || !currentLocalTime(localTime)) return;
        for (const std::string& count : counts)
            gathered_ += formatLogEntry(localTime, count);
    }

    void writeGathered() {
        if (gathered_.empty()) return;
        const auto now = std::chrono::steady_clock::now();
        if (!file_.isOpen() || now >= nextPathCheck_) {
            followPath();
            nextPathCheck_ = now + kLogPathCheckInterval;
        }
        if (size_ + gathered_.size() > kLogRotationSize) rotate();
        write(gathered_);
        gathered_.clear();
    }

    void write(std::string_view text) {
        if (file_.isOpen() && writeAll(file_.get(), text)) size_ += text.size();
    }

    // Opens the file at the path again when it is not the one open, else reads its length.
    void followPath() {
        const std::optional<FileIdentity> atPath = identityAtPath();
        if (file_.isOpen() && atPath && atPath->sameFile(opened_))
            size_ = atPath->size;
        else
            adopt(openLog(0));
    }

    std::optional<FileIdentity> identityAtPath() {
        if (directory_.isOpen()) {
            if (auto identity = identityOf(directory_.get(), name_.c_str(), 0)) return identity;
        }
        // Not found in the directory held open: that directory may have been replaced too.
        directory_ = openLogDirectory();
        return identityOf(AT_FDCWD, logFilePath().c_str(), 0);
    }

    // Each old log moves one place up (log.txt.3 replaces log.txt.4, ..., log.txt becomes
    // log.txt.1) and a fresh log.txt follows. All are made private: a log of an older version
    // may have been readable by others.
    void rotate() {
        const std::string path = logFilePath();
        for (int older = kLogFilesKept - 1; older > 0; --older) {
            const std::string from = older == 1 ? path : path + "." + std::to_string(older - 1);
            const std::string to = path + "." + std::to_string(older);
            if (rename(from.c_str(), to.c_str()) == 0) chmod(to.c_str(), kOwnerOnly);
        }
        adopt(openLog(O_TRUNC));
        if (file_.isOpen()) fchmod(file_.get(), kOwnerOnly);
    }

    void adopt(FileDescriptor file) {
        file_ = std::move(file);
        std::optional<FileIdentity> identity;
        if (file_.isOpen()) identity = identityOf(file_.get(), "", AT_EMPTY_PATH);
        if (!identity) file_.reset();
        opened_ = identity.value_or(FileIdentity{});
        size_ = opened_.size;
    }

    std::mutex mutex_;
    FileDescriptor directory_;
    const std::string name_ = logFileName();
    FileDescriptor file_;
    FileIdentity opened_{};
    std::uint64_t size_ = 0;
    std::chrono::steady_clock::time_point nextPathCheck_{};
    std::string gathered_;         // entries not yet written, oldest first
    std::thread::id batchThread_;  // the thread whose entries are gathered, if any
    LogRepeats repeats_{kLogRepeatWindow};
};

// Never destroyed: threads that other static objects stop at exit (the journal's flusher)
// may still log after the log's own static life would have ended.
LogWriter& logWriter() {
    static LogWriter& writer = *new LogWriter;
    return writer;
}

}  // namespace

std::string logFilePathFor(const std::string& executableDirectory) {
    // Root may write anywhere, so an installed copy run as root would otherwise litter the
    // system's program directory with a log that no package removes.
    if (!executableDirectory.empty() && executableDirectory != QUILLMARK_INSTALL_BINDIR &&
        faccessat(AT_FDCWD, executableDirectory.c_str(), W_OK, AT_EACCESS) == 0)
        return executableDirectory + "log.txt";

    const std::string state = xdgDirectory("XDG_STATE_HOME", ".local/state");
    return state.empty() ? std::string() : state + "/quillmark/log.txt";
}

std::string chooseLogFilePath(const std::string& executableDirectory) {
    const std::string path = logFilePathFor(executableDirectory);
    if (path.empty() || path == executableDirectory + "log.txt") return path;
    const std::string directory = path.substr(0, path.rfind('/'));
    if (makeDirectories(directory)) chmod(directory.c_str(), kOwnerOnlyDirectory);
    return path;
}

std::string logFilePath() {
    static const std::string path = chooseLogFilePath(getModuleDirectory());
    return path;
}

void resetLog() {
    logWriter().reset();
}

LogBatch::LogBatch() {
    logWriter().beginBatch();
}

LogBatch::~LogBatch() {
    logWriter().endBatch();
}

void flushLog() {
    logWriter().flush();
}

std::string formatLogEntry(const struct tm& localTime, std::string_view text) {
    return entryLine(localTime, text.substr(0, utf8CutLength(text, kLogEntryCap)), text.size());
}

void writeLog(std::string_view text) {
    struct tm localTime {};
    if (currentLocalTime(localTime)) logWriter().append(formatLogEntry(localTime, text));
}

void writeLogCounted(std::string_view kind, std::string_view text) {
    struct tm localTime {};
    if (currentLocalTime(localTime))
        logWriter().appendCounted(kind, formatLogEntry(localTime, text));
}

void writeLogData(const std::uint8_t* bytes, std::size_t count) {
    // Only the bytes whose Base64 form the entry shows are encoded.
    const std::size_t groups = count / kBase64Group + (count % kBase64Group != 0);
    const std::size_t fullLength = groups * kBase64GroupText;
    const std::size_t encoded =
        fullLength <= kLogEntryCap ? count : kLogEntryCap / kBase64GroupText * kBase64Group;
    struct tm localTime {};
    if (!currentLocalTime(localTime)) return;
    if (const auto text = base64Encode(bytes, encoded))
        logWriter().append(entryLine(localTime, *text, fullLength));
}

std::string intToDecimal(int value) {
    return value > 0 ? std::to_string(value) : std::string();
}

}  // namespace quillmark
