#include "shell/readiness_check_pane.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <fstream>

#include "temporary_state.h"

using namespace quillmark;

namespace {

// What the tab says once the check has ended: its summary and its report.
struct Outcome {
    QString summary;
    QString report;
};

// Runs the program through the tab's button, as the user does.
Outcome checkWith(const QString& program, const QStringList& arguments,
                  std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    ReadinessCheckPane pane(nullptr, {program, arguments, limit});
    auto* button = pane.findChild<QPushButton*>();
    button->click();
    QElapsedTimer waited;
    waited.start();
    while (!button->isEnabled() && waited.elapsed() < 30000)
        QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    EXPECT_TRUE(button->isEnabled()) << "the check never ended";
    return {pane.findChild<QLabel*>()->text(), pane.findChild<QPlainTextEdit*>()->toPlainText()};
}

// A check that is a shell script.
Outcome checkWithScript(const char* script,
                        std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return checkWith(QStringLiteral("/bin/sh"), {QStringLiteral("-c"), QString::fromUtf8(script)},
                     limit);
}

}  // namespace

// Each way the check can fail is named, with the last of what it wrote on its error output.
TEST(ReadinessCheckPane, SaysWhyTheCheckFailed) {
    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    const TemporaryDirectory folder;
    const std::string plainFile = folder.path() + "/quillmarkd";
    std::ofstream(plainFile) << "#!/bin/sh\n";
    ASSERT_EQ(chmod(plainFile.c_str(), 0644), 0);
    const QString missing = QString::fromStdString(folder.path() + "/missing");
    const QString plain = QString::fromStdString(plainFile);
    EXPECT_EQ(checkWith(missing, {}).summary,
              "Không kiểm tra được: không tìm thấy chương trình " + missing + ".");
    EXPECT_EQ(checkWith(plain, {}).summary,
              "Không kiểm tra được: không có quyền chạy chương trình " + plain + ".");

    const Outcome crashed = checkWithScript("echo 'about to fail' >&2; kill -SEGV $$");
    EXPECT_EQ(crashed.summary, QStringLiteral("Không kiểm tra được: chương trình kiểm tra bị "
                                              "dừng đột ngột giữa chừng."));
    EXPECT_EQ(crashed.report, QStringLiteral("Chương trình kiểm tra báo:\nabout to fail"));

    const Outcome status = checkWithScript(
        "echo 'Log: none'; for n in $(seq 30); do echo \"line $n\" >&2; done; exit 3");
    EXPECT_EQ(status.summary, QStringLiteral("Không kiểm tra được: chương trình kiểm tra kết "
                                             "thúc với mã lỗi 3."));
    EXPECT_TRUE(status.report.startsWith(QStringLiteral("Chương trình kiểm tra báo:\nline 11\n")))
        << status.report.toStdString();
    EXPECT_TRUE(status.report.endsWith(QStringLiteral("\nline 30")));

    EXPECT_EQ(checkWithScript("exit 0").summary,
              QStringLiteral("Không kiểm tra được: không đọc được kết quả của chương trình "
                             "kiểm tra."));

    QElapsedTimer waited;
    waited.start();
    const Outcome slow = checkWithScript("exec sleep 30", std::chrono::seconds(1));
    EXPECT_LT(waited.elapsed(), 10000);
    EXPECT_EQ(slow.summary, QStringLiteral("Không kiểm tra được: chương trình kiểm tra chạy quá "
                                           "1 giây nên đã bị dừng."));
}
