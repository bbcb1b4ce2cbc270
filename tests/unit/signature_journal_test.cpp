#include "signing/signature_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "temporary_state.h"

using namespace quillmark;

namespace {

SignatureRecord numbered(std::size_t number) {
    return {"2026-01-31 14:05:09 +0700",
            "https://portal.example.vn",
            "Nguyễn\tVăn\\n\nA",
            "0" + std::to_string(number),
            kCmsSignature,
            number,
            std::string(64, 'a')};
}

std::size_t lineCount(const std::string& path) {
    std::ifstream file(path);
    std::size_t lines = 0;
    for (std::string line; std::getline(file, line);)
        ++lines;
    return lines;
}

}  // namespace

TEST(SignatureJournal, KeepsTheLastThousandWholeRecordsInAPrivateFile) {
    TemporaryDirectory state;
    ScopedVariable variable("XDG_STATE_HOME", state.path().c_str());
    const std::string path = signatureJournalPath();
    EXPECT_EQ(path, state.path() + "/quillmark/signatures.txt");
    EXPECT_TRUE(readSignatureJournal().empty());

    std::size_t largest = 0;
    for (std::size_t number = 1; number <= kJournalKept + kJournalSlack + 1; ++number) {
        ASSERT_TRUE(journalSignature(numbered(number)));
        largest = std::max(largest, lineCount(path));
    }
    EXPECT_EQ(largest, kJournalKept + kJournalSlack);
    // A line cut short by a crash is skipped.
    std::ofstream(path, std::ios::app) << "2026-01-31 14:05:10 +0700\tCMS\t12";

    const std::vector<SignatureRecord> records = readSignatureJournal();
    ASSERT_EQ(records.size(), kJournalKept);
    EXPECT_EQ(records.front().serial, "0" + std::to_string(kJournalSlack + 2));
    const SignatureRecord& last = records.back();
    const SignatureRecord expected = numbered(kJournalKept + kJournalSlack + 1);
    EXPECT_EQ(journalLine(last), journalLine(expected));
    EXPECT_EQ(last.certificate, expected.certificate);
    EXPECT_EQ(std::filesystem::status(path).permissions(),
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

TEST(SignatureJournal, NeverWritesThroughOrWaitsOnWhatAnotherProgramPutAtItsPath) {
    TemporaryDirectory state;
    ScopedVariable variable("XDG_STATE_HOME", state.path().c_str());
    const std::string path = signatureJournalPath();
    ASSERT_TRUE(journalSignature(numbered(1)));

    // Deleted meanwhile: the next record starts the file anew.
    std::filesystem::remove(path);
    ASSERT_TRUE(journalSignature(numbered(2)));
    EXPECT_EQ(readSignatureJournal().size(), 1u);

    // A link in its place is not written through.
    const std::string target = state.path() + "/elsewhere";
    std::ofstream(target) << "kept\n";
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
    EXPECT_FALSE(journalSignature(numbered(3)));
    EXPECT_EQ(lineCount(target), 1u);

    // A FIFO, found mid-run or at a run's first record, holds nothing up and is left alone.
    std::filesystem::remove(path);
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_FALSE(journalSignature(numbered(4)));
    TemporaryDirectory otherState;
    ScopedVariable otherVariable("XDG_STATE_HOME", otherState.path().c_str());
    std::filesystem::create_directories(otherState.path() + "/quillmark");
    ASSERT_EQ(mkfifo(signatureJournalPath().c_str(), 0600), 0);
    EXPECT_FALSE(journalSignature(numbered(5)));
    EXPECT_TRUE(readSignatureJournal().empty());
    EXPECT_TRUE(std::filesystem::is_fifo(signatureJournalPath()));
}
