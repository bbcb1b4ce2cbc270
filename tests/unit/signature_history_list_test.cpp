#include "shell/signature_history_list.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDateTime>

#include "signing/signature_journal.h"
#include "temporary_state.h"

using namespace quillmark;

// The window's list starts with the journal's signatures, newest first, each with its time.
TEST(SignatureHistoryList, ShowsTheJournalNewestFirstWithTheTime) {
    TemporaryDirectory state;
    ScopedVariable variable("XDG_STATE_HOME", state.path().c_str());
    for (const char* site : {"https://older.example", "https://newer.example"})
        ASSERT_TRUE(journalSignature(signatureRecord(site, "A", "01", kRawSignature, nullptr, 0)));

    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    const SignatureHistory history;
    const SignatureHistoryList list(history);
    ASSERT_EQ(list.topLevelItemCount(), 2);
    EXPECT_EQ(list.headerItem()->text(0), QStringLiteral("Thời gian"));
    EXPECT_EQ(list.topLevelItem(0)->text(1), QStringLiteral("https://newer.example"));
    EXPECT_EQ(list.topLevelItem(1)->text(1), QStringLiteral("https://older.example"));
    EXPECT_TRUE(
        QDateTime::fromString(list.topLevelItem(0)->text(0), "yyyy-MM-dd HH:mm:ss").isValid());
}
