#include "signing/signature_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/statvfs.h>

#include <cstdlib>
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

// Run by the ctest journal_full_disk with QUILLMARK_TEST_SMALL_DISK naming a folder on a tmpfs of
// 1 MiB: a disk with no room for the journal's rewrite loses only the records that do not fit,
// none cut short, and once room is made the journal is trimmed again, holding every record
// that was kept.
TEST(SignatureJournal, ANearlyFullDiskLosesOnlyTheRecordsThatDoNotFit) {
    const char* disk = std::getenv("QUILLMARK_TEST_SMALL_DISK");
    if (disk == nullptr) GTEST_SKIP() << "needs a small disk (ctest journal_full_disk)";
    ScopedVariable variable("XDG_STATE_HOME", disk);
    const std::string path = signatureJournalPath();
    std::vector<std::string> kept;
    const auto sign = [&kept](std::size_t number) {
        const bool written = journalSignature(numbered(number));
        if (written) kept.push_back("0" + std::to_string(number));
        return written;
    };
    std::size_t number = 1;
    for (; number < kJournalKept + kJournalSlack; ++number)
        ASSERT_TRUE(sign(number));

    // Leaves 24 KiB: room for about a hundred records, not for a second copy of the journal.
    const std::string filler = std::string(disk) + "/filler";
    struct statvfs space {};
    ASSERT_EQ(statvfs(disk, &space), 0);
    const std::size_t free = space.f_bavail * space.f_frsize;
    ASSERT_GT(free, 24u * 1024 + 4096);
    std::ofstream(filler) << std::string(free - 24 * 1024, 'x');
    for (const std::size_t last = number + 50; number < last; ++number)
        EXPECT_TRUE(sign(number)) << number;
    std::size_t lost = 0;
    for (const std::size_t last = number + 200; number < last; ++number)
        lost += sign(number) ? 0 : 1;
    EXPECT_GT(lost, 0u) << "the disk never filled";

    // The rewrite is tried again within kJournalSlack records.
    std::filesystem::remove(filler);
    for (const std::size_t last = number + kJournalSlack; number < last; ++number)
        ASSERT_TRUE(sign(number));
    EXPECT_LT(lineCount(path), kJournalKept + kJournalSlack);
    const std::vector<SignatureRecord> records = readSignatureJournal();
    ASSERT_EQ(records.size(), kJournalKept);
    for (std::size_t index = 0; index < records.size(); ++index)
        EXPECT_EQ(records[index].serial, kept[kept.size() - kJournalKept + index]) << index;
}
