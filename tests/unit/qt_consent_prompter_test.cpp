#include "shell/qt_consent_prompter.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <chrono>
#include <future>
#include <thread>

using namespace quillmark;

namespace {

const ConsentQuestion kQuestion{"https://xn--bcher-kva.example:8443"};

// An application of its own for each test (offscreen: no display needed) and the prompter.
class QtConsentPrompterTest : public ::testing::Test {
  protected:
    std::future<ConsentAnswer> askOnRequestThread() {
        return std::async(std::launch::async, [this] { return prompter.ask(kQuestion); });
    }

    // Runs the GUI thread's events until the dialog shows.
    static ConsentDialog* shownDialog() {
        for (;;) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                auto* dialog = qobject_cast<ConsentDialog*>(widget);
                if (dialog != nullptr && dialog->isVisible()) return dialog;
            }
        }
    }

    // Runs the GUI thread's events until the request's thread has its answer.
    static ConsentAnswer answerOf(std::future<ConsentAnswer>& answer) {
        while (answer.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready)
            QCoreApplication::processEvents();
        return answer.get();
    }

    static QPushButton* button(ConsentDialog* dialog, const QString& text) {
        for (QPushButton* found : dialog->findChildren<QPushButton*>())
            if (found->text() == text) return found;
        return nullptr;
    }

    // Runs the GUI thread's events until the dialog's buttons take input.
    static ConsentDialog* armed(ConsentDialog* dialog) {
        while (!button(dialog, QStringLiteral("&Cho phép"))->isEnabled())
            QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        return dialog;
    }

    int argc = 1;
    char name[12] = "shell_tests";
    char* argv[2] = {name, nullptr};
    QApplication application{argc, argv};
    QtConsentPrompter prompter{QIcon()};
};

TEST_F(QtConsentPrompterTest, ShowsOnTheGuiThreadAboveTheOthersAndWaitsForTheAnswer) {
    auto allowed = askOnRequestThread();
    ConsentDialog* dialog = shownDialog();
    EXPECT_TRUE(dialog->windowFlags() & Qt::WindowStaysOnTopHint);
    QString texts;
    for (const QLabel* label : dialog->findChildren<QLabel*>())
        texts += label->text();
    // The site in both forms, each on a line of its own with the registrable domain in bold.
    EXPECT_TRUE(texts.contains(QStringLiteral(
        "Trang webhttps://<b>bücher.example</b>:8443(https://<b>xn--bcher-kva.example</b>:8443)"
        "muốn dùng chứng thư số của bạn: xem danh sách và ký số.")))
        << texts.toStdString();
    ASSERT_NE(button(dialog, QStringLiteral("&Từ chối")), nullptr);
    EXPECT_TRUE(button(dialog, QStringLiteral("&Từ chối"))->isDefault());
    EXPECT_FALSE(button(dialog, QStringLiteral("&Cho phép"))->isEnabled());
    button(armed(dialog), QStringLiteral("&Cho phép"))->click();
    EXPECT_EQ(answerOf(allowed), ConsentAnswer::Allow);

    // Escape denies.
    auto denied = askOnRequestThread();
    QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCoreApplication::sendEvent(armed(shownDialog()), &escape);
    EXPECT_EQ(answerOf(denied), ConsentAnswer::Deny);
    // Asked on the GUI thread, it could never show: no answer, at once.
    EXPECT_EQ(prompter.ask(kQuestion), ConsentAnswer::NoAnswer);
}

TEST_F(QtConsentPrompterTest, CancelFromAnyThreadClosesTheDialogWithNoAnswer) {
    auto answer = askOnRequestThread();
    ConsentDialog* dialog = shownDialog();
    std::thread([this] { prompter.cancel(); }).join();
    EXPECT_EQ(answerOf(answer), ConsentAnswer::NoAnswer);
    EXPECT_FALSE(dialog->isVisible());
}

TEST_F(QtConsentPrompterTest, TheWarningsStandOnLinesOfTheirOwnTheLookalikeInBold) {
    ConsentQuestion question{"https://portal.example.vn.attacker.test"};
    question.lookalike = Lookalike{"portal.example.vn", "attacker.test"};
    question.storeWithoutPassword = true;
    const ConsentDialog dialog(question, QIcon());
    QStringList texts;
    const QLabel* lookalike = nullptr;
    for (const QLabel* label : dialog.findChildren<QLabel*>()) {
        texts << label->text();
        if (label->text().startsWith(QStringLiteral("⚠"))) lookalike = label;
    }
    EXPECT_EQ(texts.mid(4, 2),
              QStringList({QStringLiteral("⚠ Cảnh báo: địa chỉ này có chứa “portal.example.vn” "
                                          "nhưng thực ra thuộc về trang “attacker.test”."),
                           QStringLiteral("Lưu ý: kho chứng thư số của bạn chưa có mật khẩu, "
                                          "nên một khi bạn cho phép, trang này có thể ký số "
                                          "bằng các chứng thư trong kho mà không cần hỏi lại "
                                          "bạn.")}))
        << texts.join('|').toStdString();
    ASSERT_NE(lookalike, nullptr);
    EXPECT_TRUE(lookalike->font().bold());
    // Neither line for a site that imitates none, with a store that has a password.
    const ConsentDialog plain(ConsentQuestion{"https://attacker.test"}, QIcon());
    EXPECT_EQ(plain.findChildren<QLabel*>().size(), dialog.findChildren<QLabel*>().size() - 2);
}

TEST_F(QtConsentPrompterTest, QuittingAnswersTheOpenQuestionAndEveryLaterOneAtOnce) {
    auto open = askOnRequestThread();
    // Waited for outside the event loop: a wait inside a queued call would not see the dialog's
    // own queued call arrive.
    shownDialog();
    QTimer::singleShot(0, &QCoreApplication::quit);
    QApplication::exec();
    EXPECT_EQ(open.get(), ConsentAnswer::NoAnswer);
    EXPECT_EQ(askOnRequestThread().get(), ConsentAnswer::NoAnswer);
}

}  // namespace
