#pragma once

#include <QProcess>
#include <QStringList>
#include <QTimer>
#include <QWidget>
#include <chrono>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillmark {

// The program that prints the check, and how long it may take before it is stopped.
struct CheckCommand {
    QString program;
    QStringList arguments;
    std::chrono::milliseconds timeLimit;
};

// This program's own `--check`, given a minute: a token module that hangs must not keep the
// tab waiting for good.
CheckCommand ownCheckCommand();

// Tells the user, at the press of a button, whether web pages can use the agent: the problems
// first, each saying what to do, then what the check found, one thing a line. The check is the
// one `QuillmarkXp --check` prints; it starts no dialog and takes no port. When it cannot be
// run or gives no report, says why, with what it wrote on its error output.
class ReadinessCheckPane : public QWidget {
    Q_OBJECT

  public:
    explicit ReadinessCheckPane(QWidget* parent = nullptr,
                                CheckCommand command = ownCheckCommand());

  private:
    void runCheck();
    void showReport(int exitCode, QProcess::ExitStatus status);
    // Why the program did not start: missing, not executable, or something else.
    QString startFailure() const;
    void showFailure(const QString& reason);

    QPushButton* m_checkButton;
    QLabel* m_summary;
    QPlainTextEdit* m_report;
    // The check runs in a process of its own: its survey of the store opens NSS and shuts it
    // down, which here would end the agent's own NSS session and the user's PIN logins; and a
    // slow token module keeps no one but that process waiting.
    QProcess m_check;
    const CheckCommand m_command;
    QTimer m_timeLimit;
    bool m_timedOut = false;
};

}  // namespace quillmark
