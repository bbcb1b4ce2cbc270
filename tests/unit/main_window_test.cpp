#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <filesystem>
#include <fstream>

#include "consent/consent_gate.h"
#include "shell/quillmark_xp_dlg.h"
#include "signing/signature_journal.h"
#include "temporary_state.h"

using namespace quillmark;

namespace {

constexpr char kUserSite[] = "https://mine.example";
constexpr char kAdministratorSite[] = "https://portal.example";
constexpr char kRefusedSite[] = "https://refused.example";

class Refusing : public ConsentPrompter {
  public:
    ConsentAnswer ask(const ConsentQuestion&) override { return ConsentAnswer::Deny; }
    void cancel() override {}
};

// Each tab shown in turn, and the list it holds.
QAbstractItemView* listOfTab(QTabWidget& tabs, int index) {
    tabs.setCurrentIndex(index);
    QApplication::processEvents();
    QWidget* page = tabs.widget(index);
    if (auto* view = qobject_cast<QAbstractItemView*>(page)) return view;
    return page->findChild<QListWidget*>();
}

int rowsShown(const QAbstractItemView& list) {
    return list.viewport()->height() / list.sizeHintForRow(0);
}

}  // namespace

// The texts at the top with no band under them, and lists of at least 8 rows that grow with
// the window: the sites allowed (the administrator's marked, read-only), the history, and the
// sites refused in this run, one of which the user allows.
TEST(MainWindow, ListsFillTheWindowAndRefusalsAreUndone) {
    TemporaryDirectory home;
    const ScopedVariable config("XDG_CONFIG_HOME", (home.path() + "/config").c_str());
    const ScopedVariable state("XDG_STATE_HOME", home.path().c_str());
    const std::string administratorList = home.path() + "/administrator-sites";
    const ScopedVariable administrator("QUILLMARK_TEST_ADMIN_ALLOWED_SITES",
                                       administratorList.c_str());
    std::ofstream(administratorList) << kAdministratorSite << "\n";
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    ASSERT_TRUE(journalSignature(signatureRecord(kUserSite, "A", "01", kRawSignature, nullptr, 0)));
    ASSERT_TRUE(allowSite(kUserSite));
    setConsentPrompter(std::make_unique<Refusing>());
    ASSERT_FALSE(consentGiven(kRefusedSite, ConsentQuestion{kRefusedSite, false, {}}));

    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    const SignatureHistory history;
    CQuillmarkXpDlg window(QIcon(), history);
    window.OnInitDialog();
    ASSERT_TRUE(window.isVisible());
    auto& tabs = *window.findChild<QTabWidget*>();
    EXPECT_LT(tabs.geometry().top(), 6 * window.fontMetrics().height());

    const auto& allowed = *static_cast<QListWidget*>(listOfTab(tabs, 0));
    ASSERT_EQ(allowed.count(), 2);
    EXPECT_EQ(allowed.item(0)->text(), kUserSite);
    EXPECT_TRUE(allowed.item(1)->text().startsWith(kAdministratorSite + QStringLiteral(" (")));
    EXPECT_FALSE(allowed.item(1)->flags() & Qt::ItemIsSelectable);
    std::vector<int> rows;
    for (int index = 0; index < tabs.count(); ++index)
        rows.push_back(rowsShown(*listOfTab(tabs, index)));
    window.resize(window.width(), window.height() * 2);
    for (int index = 0; index < tabs.count(); ++index) {
        EXPECT_GE(rows[index], 8) << index;
        EXPECT_GE(rowsShown(*listOfTab(tabs, index)), 2 * rows[index]) << index;
    }

    auto& refused = *static_cast<QListWidget*>(listOfTab(tabs, 2));
    ASSERT_EQ(refused.count(), 1);
    refused.setCurrentRow(0);
    refused.parentWidget()->findChildren<QPushButton*>().first()->click();
    EXPECT_EQ(refused.count(), 0);
    EXPECT_TRUE(siteAllowed(kRefusedSite));
    setConsentPrompter(nullptr);
}
