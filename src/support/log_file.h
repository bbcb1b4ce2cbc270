#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace quillmark {

// log.txt: a plain trace of events, failures and request data.
// It holds data that pages send to be signed, so only its owner may read it. Every call
// opens, writes one entry and closes; an entry that cannot be written is dropped.

// Creates or empties the log and writes the line "Start".
void resetLog();

// Appends "year/month/day hour:minute:second text" in local time, without leading zeros.
void writeLog(std::string_view text);

// Appends an entry whose text is the Base64 form of the bytes.
void writeLogData(const std::uint8_t* bytes, std::size_t count);

// Decimal digits of a positive value; zero and negative values give the empty text.
std::string intToDecimal(int value);

// Where the log lives, chosen once for the running executable.
std::string logFilePath();

// Where the log of an executable in this directory (with its trailing "/") goes: beside it
// when the directory is writable and is not the one the program is installed to (a build
// tree, a user's own copy), else $XDG_STATE_HOME/quillmark/log.txt (by default
// ~/.local/state/quillmark/), whose directory this creates private to the user. Empty when
// neither can be found.
std::string chooseLogFilePath(const std::string& executableDirectory);

// The entry line for a given local time, exposed for tests.
std::string formatLogEntry(const struct tm& localTime, std::string_view text);

}  // namespace quillmark
