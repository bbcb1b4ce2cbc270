#include "shell/readiness_check_pane.h"

#include <QFileInfo>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>
#include <algorithm>
#include <utility>

#include "check/self_check.h"
#include "shell/main_window_texts.h"
#include "support/module_path.h"

namespace quillmark {
namespace {

// The last lines of what the check wrote on its error output that the report shows.
constexpr int kErrorLinesShown = 20;

QString lastLines(const QString& text, int count) {
    const QStringList lines = text.trimmed().split('\n');
    return lines.mid(std::max(0, static_cast<int>(lines.size()) - count)).join('\n');
}

}  // namespace

CheckCommand ownCheckCommand() {
    return {QString::fromStdString(executablePath()),
            {QStringLiteral("--check")},
            std::chrono::minutes(1)};
}

ReadinessCheckPane::ReadinessCheckPane(QWidget* parent, CheckCommand command)
    : QWidget(parent),
      m_checkButton(new QPushButton(QString::fromUtf8(kCheckButton), this)),
      m_summary(new QLabel(QString::fromUtf8(kCheckNote), this)),
      m_report(new QPlainTextEdit(this)),
      m_command(std::move(command)) {
    auto* layout = new QVBoxLayout(this);
    m_summary->setWordWrap(true);
    layout->addWidget(m_summary);
    m_report->setReadOnly(true);
    layout->addWidget(m_report, 1);
    layout->addWidget(m_checkButton, 0, Qt::AlignLeft);
    connect(m_checkButton, &QPushButton::clicked, this, &ReadinessCheckPane::runCheck);
    connect(&m_check, &QProcess::finished, this, &ReadinessCheckPane::showReport);
    connect(&m_check, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart) showFailure(startFailure());
    });
    m_timeLimit.setSingleShot(true);
    m_timeLimit.setInterval(m_command.timeLimit);
    connect(&m_timeLimit, &QTimer::timeout, this, [this] {
        m_timedOut = true;
        m_check.kill();
    });
}

void ReadinessCheckPane::runCheck() {
    m_checkButton->setEnabled(false);
    m_summary->setText(QString::fromUtf8(kCheckRunning));
    m_report->clear();
    m_timedOut = false;
    m_timeLimit.start();
    m_check.start(m_command.program, m_command.arguments);
}

QString ReadinessCheckPane::startFailure() const {
    const QFileInfo program(m_command.program);
    const char* reason = !program.exists()         ? kCheckProgramMissing
                         : !program.isExecutable() ? kCheckProgramNotAllowed
                                                   : kCheckProgramNotStarted;
    return QString::fromUtf8(reason).arg(m_command.program);
}

// The reason in the summary, and in the report what the check wrote on its error output, if
// anything: a crash or a library's complaint tells more there than any summary can.
void ReadinessCheckPane::showFailure(const QString& reason) {
    m_timeLimit.stop();
    m_checkButton->setEnabled(true);
    m_summary->setText(QString::fromUtf8(kCheckFailed).arg(reason));
    const QString errors =
        lastLines(QString::fromUtf8(m_check.readAllStandardError()), kErrorLinesShown);
    if (!errors.isEmpty()) m_report->setPlainText(QString::fromUtf8(kCheckErrors) + '\n' + errors);
}

// The check prints what it found, then its problems; here the problems come first, as they
// are what the user has to act on.
void ReadinessCheckPane::showReport(int exitCode, QProcess::ExitStatus status) {
    if (m_timedOut) {
        const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_command.timeLimit);
        return showFailure(QString::fromUtf8(kCheckTimedOut).arg(seconds.count()));
    }
    if (status != QProcess::NormalExit) return showFailure(QString::fromUtf8(kCheckCrashed));
    if (exitCode > 1) return showFailure(QString::fromUtf8(kCheckExitStatus).arg(exitCode));
    const QString mark = QString::fromUtf8(kProblemMark);
    QStringList found;
    QStringList problems;
    for (const QString& line : QString::fromUtf8(m_check.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(mark))
            problems.append(QStringLiteral("• ") + line.mid(mark.size()));
        else if (!line.isEmpty())
            found.append(line);
    }
    if (found.isEmpty()) return showFailure(QString::fromUtf8(kCheckUnreadable));
    m_timeLimit.stop();
    m_checkButton->setEnabled(true);
    m_summary->setText(problems.isEmpty() ? QString::fromUtf8(kCheckReady)
                                          : QString::fromUtf8(kCheckProblems).arg(problems.size()));
    const QString findings = QString::fromUtf8(kCheckFindings) + '\n' + found.join('\n');
    m_report->setPlainText(problems.isEmpty() ? findings : problems.join('\n') + "\n\n" + findings);
    // The button lost the focus while it waited; the report takes it, to be read or scrolled.
    m_report->setFocus();
}

}  // namespace quillmark
