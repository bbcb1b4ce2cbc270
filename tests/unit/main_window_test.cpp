#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <tuple>
#include <vector>

#include "consent/consent_gate.h"
#include "shell/main_window_texts.h"
#include "shell/quillmark_xp_dlg.h"
#include "shell/refused_sites_list.h"
#include "signing/signature_journal.h"
#include "temporary_state.h"

using namespace quillmark;

namespace {

constexpr char kUserSite[] = "https://mine.example";
constexpr char kAdministratorSite[] = "https://portal.example";

// The list (or, on the check's tab, the report) a tab holds, its tab shown.
QAbstractScrollArea* listOfTab(QTabWidget& tabs, int index) {
    tabs.setCurrentIndex(index);
    QApplication::processEvents();
    QWidget* page = tabs.widget(index);
    if (auto* view = qobject_cast<QAbstractScrollArea*>(page)) return view;
    return page->findChild<QAbstractScrollArea*>();
}

}  // namespace

// The texts at the top with no band under them, and lists (sites allowed, with the
// administrator's marked and read-only; signatures; sites refused; the check's report) that
// show at least 8 rows and grow with the window.
TEST(MainWindow, ListsFillTheWindow) {
    TemporaryDirectory home;
    const ScopedVariable config("XDG_CONFIG_HOME", (home.path() + "/config").c_str());
    const ScopedVariable state("XDG_STATE_HOME", home.path().c_str());
    const std::string administratorList = home.path() + "/administrator-sites";
    const ScopedVariable administrator("QUILLMARK_TEST_ADMIN_ALLOWED_SITES",
                                       administratorList.c_str());
    std::ofstream(administratorList) << kAdministratorSite << "\n";
    ASSERT_EQ(chmod(home.path().c_str(), 0755), 0);
    ASSERT_TRUE(allowSite(kUserSite));

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
    const int row = allowed.sizeHintForRow(0);
    std::vector<int> heights;
    for (int index = 0; index < tabs.count(); ++index)
        heights.push_back(listOfTab(tabs, index)->viewport()->height());
    window.resize(window.width(), window.height() * 2);
    for (int index = 0; index < tabs.count(); ++index) {
        EXPECT_GE(heights[index], 8 * row) << index;
        EXPECT_GE(listOfTab(tabs, index)->viewport()->height(), 2 * heights[index]) << index;
    }
}

// At first the window is wide enough for every column of a few signatures with long names, on
// a screen of 1024 by 768.
TEST(MainWindow, OpensShowingEveryColumnOfTheSignatures) {
    TemporaryDirectory state;
    const ScopedVariable variable("XDG_STATE_HOME", state.path().c_str());
    const std::string screen = state.path() + "/screen.json";
    std::ofstream(screen) << R"({"screens": [{"name": "screen", "x": 0, "y": 0, "width": 1024,)"
                          << R"( "height": 768, "logicalDpi": 96, "dpr": 1}]})";
    const ScopedVariable platform("QT_QPA_PLATFORM", ("offscreen:configfile=" + screen).c_str());
    const std::vector<std::uint8_t> data(880213);
    for (const auto& [site, certificate, kind] :
         {std::tuple{"https://hoadondientu.gdt.gov.vn", "Nguyễn Văn Thành", kXmlSignature},
          std::tuple{"https://thuedientu.gdt.gov.vn", "CÔNG TY TNHH THƯƠNG MẠI DỊCH VỤ ABC",
                     kCmsSignature},
          std::tuple{"", "Nguyễn Văn Thành", kRawSignature}})
        ASSERT_TRUE(journalSignature(
            signatureRecord(site, certificate, "0a1b2c", kind, data.data(), data.size())));

    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    ASSERT_EQ(QApplication::primaryScreen()->size(), QSize(1024, 768));
    const SignatureHistory history;
    CQuillmarkXpDlg window(QIcon(), history);
    window.OnInitDialog();
    auto& list = *static_cast<QTreeWidget*>(listOfTab(*window.findChild<QTabWidget*>(), 1));
    ASSERT_EQ(list.topLevelItemCount(), 3);
    EXPECT_LE(list.header()->length(), list.viewport()->width());
    EXPECT_FALSE(list.horizontalScrollBar()->isVisible());
}

// The window says that closing it stops the agent; it opens at the size the user left it at,
// within the screen, and writes that size only when it changed.
TEST(MainWindow, SaysWhatClosingDoesAndOpensAtTheSizeItWasLeftAt) {
    TemporaryDirectory state;
    const ScopedVariable variable("XDG_STATE_HOME", state.path().c_str());
    const std::string file = state.path() + "/quillmark/window.ini";
    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    const SignatureHistory history;
    QSize first;
    {
        CQuillmarkXpDlg window(QIcon(), history);
        window.OnInitDialog();
        // The offscreen platform has no tray: the button minimises the window.
        const auto labels = window.findChildren<QLabel*>();
        EXPECT_TRUE(std::any_of(labels.begin(), labels.end(), [](const QLabel* label) {
            return label->text() == QString::fromUtf8(kCloseNoteWithoutTray);
        }));
        first = window.size();
        window.reject();
    }
    EXPECT_FALSE(std::filesystem::exists(file)) << "the size was written unchanged";

    const QSize room = QApplication::primaryScreen()->availableGeometry().size();
    const QSize left = first - QSize(40, 30);
    {
        CQuillmarkXpDlg window(QIcon(), history);
        EXPECT_EQ(window.size(), first);
        window.OnInitDialog();
        window.resize(left);
        window.reject();
    }
    {
        CQuillmarkXpDlg window(QIcon(), history);
        EXPECT_EQ(window.size(), left);
        window.OnInitDialog();
        window.resize(room * 3);
        window.reject();
    }
    CQuillmarkXpDlg window(QIcon(), history);
    EXPECT_EQ(window.width(), room.width());
    EXPECT_LT(window.height(), room.height());
}

namespace {

class DenyingPrompter : public ConsentPrompter {
  public:
    ConsentAnswer ask(const ConsentQuestion&) override { return ConsentAnswer::Deny; }
    void cancel() override {}
};

QPushButton* buttonNamed(QWidget& parent, const char* label) {
    for (QPushButton* button : parent.findChildren<QPushButton*>()) {
        if (button->text() == QString::fromUtf8(label)) return button;
    }
    return nullptr;
}

}  // namespace

// A domain refused whole is one row, named as a domain: it can be forgotten, not allowed, as
// no origin names it; its sites denied one by one keep their rows.
TEST(RefusedSitesList, ShowsADomainRefusedWholeAndForgetsIt) {
    TemporaryDirectory home;
    const ScopedVariable config("XDG_CONFIG_HOME", (home.path() + "/config").c_str());
    DenyingPrompter prompter;
    std::vector<std::string> sites;
    for (const char* site :
         {"https://a.refused.example", "https://b.refused.example", "https://c.refused.example"}) {
        EXPECT_FALSE(consentGiven(site, ConsentQuestion{site, nullptr}, &prompter));
        sites.push_back(site);
    }

    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    RefusedSitesList list;
    list.show();
    auto& rows = *list.findChild<QListWidget*>();
    ASSERT_EQ(rows.count(), 4);
    EXPECT_EQ(rows.item(0)->text(),
              QStringLiteral("Mọi trang thuộc tên miền refused.example (đã từ chối 3 lần)"));
    EXPECT_EQ(rows.item(1)->text(), QString::fromStdString(sites[0]));
    QPushButton* allow = buttonNamed(list, kAllowRefusedSiteButton);
    QPushButton* forget = buttonNamed(list, kForgetRefusalButton);
    ASSERT_TRUE(allow && forget);
    rows.setCurrentRow(1);
    EXPECT_TRUE(allow->isEnabled() && forget->isEnabled());
    rows.setCurrentRow(0);
    EXPECT_FALSE(allow->isEnabled());
    ASSERT_TRUE(forget->isEnabled());
    forget->click();
    EXPECT_EQ(rows.count(), 3);
    EXPECT_TRUE(needsConsent("https://d.refused.example"));
    for (const std::string& site : sites)
        forgetRefusal(site);
}
