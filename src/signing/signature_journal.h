#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signing/signature_trace.h"

namespace quillmark {

// The signature journal: the last signatures made, kept across restarts in a text file private
// to the user, $XDG_STATE_HOME/quillmark/signatures.txt (by default
// ~/.local/state/quillmark/). One line per signature, in the file before the call returns, so
// a signature whose reply went out is kept even if the agent is killed right after; flushed to
// disk moments later on a thread of its own, so the reply does not wait for the disk (only a
// power cut within those moments could lose it). The file is bounded: once it holds kJournalKept +
// kJournalSlack lines it is rewritten whole (temporary file, then rename) with the last
// kJournalKept; a file that cannot be rewritten (a disk too full for the second copy) grows on
// and is tried again later. A line cut short by a crash is dropped at the next rewrite, which
// the first signature of each run also makes. The file is opened without following a link and
// without waiting, and only when it is a regular file: anything else at its path is left
// alone, and signatures are then not kept (said once in the log). Calls may come from any
// thread.

constexpr std::size_t kJournalKept = 1000;
// Lines appended past kJournalKept before the file is trimmed, so that a rewrite comes once
// in a hundred signatures rather than with every one.
constexpr std::size_t kJournalSlack = 100;

// Where the journal is; empty when no home directory is known.
std::string signatureJournalPath();

// Appends the record. False when it could not be written.
bool journalSignature(const SignatureRecord& record);

// The last kJournalKept signatures of the journal, oldest first; none when it does not exist.
// Creates nothing.
std::vector<SignatureRecord> readSignatureJournal();

// A record as a journal line and back: its fields in the order time, kind, size, SHA-256,
// serial, site, certificate, separated by tabs, with '\\', tab, line feed and carriage return
// escaped as \\, \t, \n and \r; the line ends in a line feed. Exposed for tests.
std::string journalLine(const SignatureRecord& record);
std::optional<SignatureRecord> parseJournalLine(std::string_view line);

}  // namespace quillmark
