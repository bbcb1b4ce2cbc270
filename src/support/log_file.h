#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmark {

// log.txt: a plain trace of events, failures and request data.
// It holds data that pages send to be signed, so only its owner may read it, and it is
// bounded: each entry's text is capped, and the file is rotated before it passes its size
// limit (log.txt becomes log.txt.1, log.txt.1 becomes log.txt.2 and so on, up to log.txt.4:
// kLogFilesKept files in all). The file stays open between entries;
// each entry reaches it with one write before the call returns, so a crash loses none, but
// for the entries of a LogBatch, below. A log removed, replaced or resized by another program
// is followed within kLogPathCheckInterval: the open file is checked against its path no more
// often, so that an entry costs one write. An entry that cannot be written is dropped. Calls
// may come from any thread.

// An entry's text longer than this shows its first kLogEntryCap bytes (fewer when that would
// cut a UTF-8 sequence) followed by "… (N bytes)", N being the text's full length.
constexpr std::size_t kLogEntryCap = 4096;
constexpr std::uint64_t kLogRotationSize = 16 * 1024 * 1024;
constexpr int kLogFilesKept = 5;  // log.txt and four older ones
constexpr std::chrono::milliseconds kLogPathCheckInterval(100);
// Gathered entries are written once they reach this size.
constexpr std::size_t kLogBatchLimit = 64 * 1024;
// Entries of one kind that may come in floods are written once in this time, then counted.
constexpr std::chrono::seconds kLogRepeatWindow(10);

// Starts a new log, beginning with the line "Start": the previous logs move up one place
// (log.txt becomes log.txt.1, the oldest kept is dropped), so that the traces of the last
// runs outlive a crash or restarts.
void resetLog();

// While an object of this class lives, the entries its thread writes are gathered, and reach
// the file together: at flushLog(), when another thread writes an entry (the gathered ones
// go first, being older), and when the object ends. The server thread holds one over each
// pass of its service loop: the entries of all the requests a pass serves cost one write
// rather than one each, and reach the file as the pass ends, just after its replies left; a
// crash loses at most the entries of the pass under way. One batch at a time.
class LogBatch {
  public:
    LogBatch();
    ~LogBatch();
    LogBatch(const LogBatch&) = delete;
    LogBatch& operator=(const LogBatch&) = delete;
};

// Writes the gathered entries and the counts of writeLogCounted now, as before another copy of
// the agent moves the log, or as the agent ends.
void flushLog();

// Appends "year/month/day hour:minute:second text" in local time, without leading zeros.
// Only the shown part of the text is copied, so a huge text costs no more than a small one.
void writeLog(std::string_view text);

// writeLog for an entry that a page can make the agent repeat thousands of times a second (a
// refusal): the first entry of its kind in kLogRepeatWindow is written, and the later ones
// only counted. The count follows as the entry "… N more: kind", with the first entry written
// after the window has passed, or at flushLog().
void writeLogCounted(std::string_view kind, std::string_view text);
// The same, for an entry that is its own kind.
inline void writeLogCounted(std::string_view text) {
    writeLogCounted(text, text);
}

// Appends an entry whose text is the Base64 form of the bytes. Only the bytes whose Base64
// form is shown are encoded; N is the length of the full Base64 form.
void writeLogData(const std::uint8_t* bytes, std::size_t count);

// Decimal digits of a positive value; zero and negative values give the empty text.
std::string intToDecimal(int value);

// Where the log lives, chosen once for the running executable.
std::string logFilePath();

// Where the log of an executable in this directory goes, as chooseLogFilePath() tells, without
// making any directory.
std::string logFilePathFor(const std::string& executableDirectory);

// Where the log of an executable in this directory (with its trailing "/") goes: beside it
// when the directory is writable and is not the one the program is installed to (a build
// tree, a user's own copy), else $XDG_STATE_HOME/quillmark/log.txt (by default
// ~/.local/state/quillmark/), whose directory this creates private to the user. Empty when
// neither can be found.
std::string chooseLogFilePath(const std::string& executableDirectory);

// The entry line, text capped, for a given local time; exposed for tests.
std::string formatLogEntry(const struct tm& localTime, std::string_view text);

}  // namespace quillmark
