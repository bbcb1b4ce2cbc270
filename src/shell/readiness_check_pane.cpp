#include "shell/readiness_check_pane.h"

#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "check/self_check.h"
#include "shell/main_window_texts.h"
#include "support/module_path.h"

namespace quillmark {

ReadinessCheckPane::ReadinessCheckPane(QWidget* parent)
    : QWidget(parent),
      m_checkButton(new QPushButton(QString::fromUtf8(kCheckButton), this)),
      m_summary(new QLabel(QString::fromUtf8(kCheckNote), this)),
      m_report(new QPlainTextEdit(this)) {
    auto* layout = new QVBoxLayout(this);
    m_summary->setWordWrap(true);
    layout->addWidget(m_summary);
    m_report->setReadOnly(true);
    layout->addWidget(m_report, 1);
    layout->addWidget(m_checkButton, 0, Qt::AlignLeft);
    connect(m_checkButton, &QPushButton::clicked, this, &ReadinessCheckPane::runCheck);
    connect(&m_check, &QProcess::finished, this, &ReadinessCheckPane::showReport);
    connect(&m_check, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart) return;
        m_checkButton->setEnabled(true);
        m_summary->setText(QString::fromUtf8(kCheckFailed));
    });
}

void ReadinessCheckPane::runCheck() {
    m_checkButton->setEnabled(false);
    m_summary->setText(QString::fromUtf8(kCheckRunning));
    m_report->clear();
    m_check.start(QString::fromStdString(executablePath()), {QStringLiteral("--check")});
}

// The check prints what it found, then its problems; here the problems come first, as they
// are what the user has to act on.
void ReadinessCheckPane::showReport(int exitCode, QProcess::ExitStatus status) {
    m_checkButton->setEnabled(true);
    const QString mark = QString::fromUtf8(kProblemMark);
    QStringList found;
    QStringList problems;
    for (const QString& line : QString::fromUtf8(m_check.readAllStandardOutput()).split('\n')) {
        if (line.startsWith(mark))
            problems.append(QStringLiteral("• ") + line.mid(mark.size()));
        else if (!line.isEmpty())
            found.append(line);
    }
    if (status != QProcess::NormalExit || exitCode > 1 || found.isEmpty()) {
        m_summary->setText(QString::fromUtf8(kCheckFailed));
        return;
    }
    m_summary->setText(problems.isEmpty() ? QString::fromUtf8(kCheckReady)
                                          : QString::fromUtf8(kCheckProblems).arg(problems.size()));
    const QString findings = QString::fromUtf8(kCheckFindings) + '\n' + found.join('\n');
    m_report->setPlainText(problems.isEmpty() ? findings : problems.join('\n') + "\n\n" + findings);
    // The button lost the focus while it waited; the report takes it, to be read or scrolled.
    m_report->setFocus();
}

}  // namespace quillmark
