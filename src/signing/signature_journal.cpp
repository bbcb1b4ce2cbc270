#include "signing/signature_journal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

#include "support/file_descriptor.h"
#include "support/log_file.h"
#include "support/regular_file.h"
#include "support/replace_file.h"
#include "support/user_directories.h"
#include "support/write_all.h"

namespace quillmark {
namespace {

constexpr char kFileName[] = "signatures.txt";
constexpr std::size_t kFieldCount = 7;
constexpr std::size_t kDigestDigits = 64;

std::string journalDirectory() {
    const std::string state = xdgDirectory("XDG_STATE_HOME", ".local/state");
    return state.empty() ? std::string() : state + "/quillmark";
}

std::string escaped(const std::string& field) {
    std::string text;
    for (const char c : field) {
        switch (c) {
            case '\\':
                text += "\\\\";
                break;
            case '\t':
                text += "\\t";
                break;
            case '\n':
                text += "\\n";
                break;
            case '\r':
                text += "\\r";
                break;
            default:
                text += c;
        }
    }
    return text;
}

std::optional<std::string> unescaped(std::string_view field) {
    std::string text;
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] != '\\') {
            text += field[i];
            continue;
        }
        if (++i == field.size()) return std::nullopt;
        switch (field[i]) {
            case '\\':
                text += '\\';
                break;
            case 't':
                text += '\t';
                break;
            case 'n':
                text += '\n';
                break;
            case 'r':
                text += '\r';
                break;
            default:
                return std::nullopt;
        }
    }
    return text;
}

std::optional<std::size_t> decimal(const std::string& text) {
    if (text.empty() || text.size() > 19 || text.find_first_not_of("0123456789") != text.npos)
        return std::nullopt;
    return static_cast<std::size_t>(std::stoull(text));
}

bool isDigest(const std::string& text) {
    return text.size() == kDigestDigits &&
           text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// Whether nothing is at the path, or a regular file: anything else (a link, a FIFO) was put
// there by another program, and is neither read, written through nor replaced.
bool usablePath(const std::string& path) {
    struct stat info {};
    return lstat(path.c_str(), &info) != 0 ? errno == ENOENT : S_ISREG(info.st_mode);
}

// The last kJournalKept whole lines of the file that parse, oldest first.
std::vector<SignatureRecord> readJournal(const std::string& path) {
    const std::string text = readRegularFile(path).value_or(std::string());
    std::deque<SignatureRecord> kept;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos;
         start = end + 1) {
        if (auto record = parseJournalLine(std::string_view(text).substr(start, end - start))) {
            kept.push_back(std::move(*record));
            if (kept.size() > kJournalKept) kept.pop_front();
        }
    }
    return {kept.begin(), kept.end()};
}

// Flushes the journal's file to disk on a thread of its own, soon after each append: the reply
// does not wait for the disk (a flush costs about as much as a signature on a fast key). While
// signatures follow each other, the flushes are spaced kFlushSpacing apart and each covers the
// lines appended meanwhile, so that appending wakes no thread. What was appended is in the file
// already, so an agent killed before the flush loses nothing; the last flush is made before
// the process ends.
class JournalFlusher {
  public:
    JournalFlusher() = default;
    JournalFlusher(const JournalFlusher&) = delete;
    JournalFlusher& operator=(const JournalFlusher&) = delete;

    ~JournalFlusher() {
        {
            const std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        if (thread_.joinable()) thread_.join();
    }

    void flushSoon(const std::string& path) {
        std::unique_lock<std::mutex> lock(mutex_);
        pending_ = path;
        if (!thread_.joinable()) thread_ = std::thread(&JournalFlusher::run, this);
        if (!idle_) return;  // it flushes at its next turn
        lock.unlock();
        wake_.notify_one();
    }

  private:
    static constexpr std::chrono::milliseconds kFlushSpacing{10};

    void run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            idle_ = true;
            wake_.wait(lock, [this] { return stopping_ || !pending_.empty(); });
            idle_ = false;
            while (!pending_.empty()) {
                const std::string path = std::move(pending_);
                pending_.clear();
                lock.unlock();
                flush(path);
                lock.lock();
                wake_.wait_for(lock, kFlushSpacing, [this] { return stopping_; });
            }
            if (stopping_) return;
        }
    }

    static void flush(const std::string& path) {
        const FileDescriptor file = openRegularFile(path, O_WRONLY);
        if (!file.isOpen() || fdatasync(file.get()) != 0)
            writeLog("The signature journal could not be flushed to disk: " + path);
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::string pending_;  // the file to flush; empty when none is waiting
    bool idle_ = false;    // waiting for an append, which must wake it
    bool stopping_ = false;
    std::thread thread_;
};

// The journal of this process: how many lines its file holds since the last rewrite.
class Journal {
  public:
    bool append(const SignatureRecord& record) {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::string directory = journalDirectory();
        if (directory.empty()) return false;
        if (directory != directory_ || lines_ >= nextRewrite_) rewrite(directory);
        const std::string path = directory + "/" + kFileName;
        const FileDescriptor file = openRegularFile(path, O_WRONLY | O_APPEND | O_CREAT);
        if (!file.isOpen()) {
            reportUnusable(path);
            return false;
        }
        struct stat before {};
        if (fstat(file.get(), &before) != 0) return false;
        if (!writeAll(file.get(), journalLine(record))) {
            // A line cut short (a full disk) would run into the next record's: it is taken off.
            if (ftruncate(file.get(), before.st_size) != 0) nextRewrite_ = 0;
            return false;
        }
        reported_ = false;
        ++lines_;
        flusher_.flushSoon(path);
        return true;
    }

  private:
    // Replaces the file with its last kJournalKept whole records. One that cannot be
    // rewritten (a disk too full for the second copy) grows on, and is tried again
    // kJournalSlack lines later: a full disk loses the records that do not fit, not every
    // later one.
    void rewrite(const std::string& directory) {
        directory_ = directory;
        const std::string path = directory + "/" + kFileName;
        if (makeDirectories(directory) && usablePath(path)) {
            const std::vector<SignatureRecord> records = readJournal(path);
            std::string text;
            for (const SignatureRecord& record : records)
                text += journalLine(record);
            if (replaceFile(directory, kFileName, text, S_IRUSR | S_IWUSR)) {
                lines_ = records.size();
                nextRewrite_ = kJournalKept + kJournalSlack;
                return;
            }
        }
        nextRewrite_ = lines_ + kJournalSlack;
    }

    // Said once until a record is kept again.
    void reportUnusable(const std::string& path) {
        if (reported_) return;
        reported_ = true;
        writeLog(
            "The signature journal is not a regular file or cannot be written; "
            "signatures are not kept: " +
            path);
    }

    std::mutex mutex_;
    std::string directory_;  // where the file was last rewritten, or tried to be
    std::size_t lines_ = 0;
    std::size_t nextRewrite_ = 0;  // lines_ at which the file is rewritten next
    bool reported_ = false;
    JournalFlusher flusher_;
};

}  // namespace

std::string signatureJournalPath() {
    const std::string directory = journalDirectory();
    return directory.empty() ? std::string() : directory + "/" + kFileName;
}

bool journalSignature(const SignatureRecord& record) {
    static Journal journal;
    return journal.append(record);
}

std::vector<SignatureRecord> readSignatureJournal() {
    const std::string path = signatureJournalPath();
    return path.empty() ? std::vector<SignatureRecord>() : readJournal(path);
}

std::string journalLine(const SignatureRecord& record) {
    return escaped(record.time) + '\t' + escaped(record.kind) + '\t' +
           std::to_string(record.dataSize) + '\t' + escaped(record.sha256) + '\t' +
           escaped(record.serial) + '\t' + escaped(record.site) + '\t' +
           escaped(record.certificate) + '\n';
}

std::optional<SignatureRecord> parseJournalLine(std::string_view line) {
    std::vector<std::string> fields;
    for (std::size_t start = 0;;) {
        const std::size_t tab = line.find('\t', start);
        const auto field = unescaped(line.substr(start, tab - start));
        if (!field) return std::nullopt;
        fields.push_back(*field);
        if (tab == std::string_view::npos) break;
        start = tab + 1;
    }
    if (fields.size() != kFieldCount) return std::nullopt;
    const std::optional<std::size_t> size = decimal(fields[2]);
    const bool known =
        fields[1] == kRawSignature || fields[1] == kCmsSignature || fields[1] == kXmlSignature;
    if (fields[0].empty() || !known || !size || !isDigest(fields[3])) return std::nullopt;
    return SignatureRecord{fields[0], fields[5], fields[6], fields[4], fields[1], *size, fields[3]};
}

}  // namespace quillmark
