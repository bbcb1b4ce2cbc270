#pragma once

#include <QProcess>
#include <QWidget>

class QLabel;
class QPlainTextEdit;
class QPushButton;

namespace quillmark {

// Tells the user, at the press of a button, whether web pages can use the agent: the problems
// first, each saying what to do, then what the check found, one thing a line. The check is the
// one `QuillmarkXp --check` prints; it starts no dialog and takes no port.
class ReadinessCheckPane : public QWidget {
    Q_OBJECT

  public:
    explicit ReadinessCheckPane(QWidget* parent = nullptr);

  private:
    void runCheck();
    void showReport(int exitCode, QProcess::ExitStatus status);

    QPushButton* m_checkButton;
    QLabel* m_summary;
    QPlainTextEdit* m_report;
    // The check runs in a process of its own: its survey of the store opens NSS and shuts it
    // down, which here would end the agent's own NSS session and the user's PIN logins; and a
    // slow token module keeps no one but that process waiting.
    QProcess m_check;
};

}  // namespace quillmark
