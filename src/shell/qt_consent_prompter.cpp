#include "shell/qt_consent_prompter.h"

#include <QCoreApplication>
#include <QThread>

namespace quillmark {

QtConsentPrompter::QtConsentPrompter(const QIcon& icon)
    : m_icon(icon), m_guiThread(new QObject(QCoreApplication::instance())) {
    QObject::connect(QCoreApplication::instance(), &QCoreApplication::aboutToQuit, m_guiThread,
                     [this] { closeForGood(); });
    // The application may also end without running its event loop.
    QObject::connect(m_guiThread, &QObject::destroyed, [this] {
        m_guiThreadGone = true;
        markClosed();
    });
}

QtConsentPrompter::~QtConsentPrompter() {
    if (m_guiThreadGone) return;
    closeForGood();
    delete m_guiThread;
}

ConsentAnswer QtConsentPrompter::ask(const ConsentQuestion& question) {
    const std::lock_guard<std::mutex> asking(m_asking);
    std::unique_lock<std::mutex> lock(m_mutex);
    // Asked on the GUI thread itself, the wait would keep the dialog from ever showing.
    if (m_closed || m_guiThread->thread() == QThread::currentThread())
        return ConsentAnswer::NoAnswer;
    const QuestionId id = ++m_current;
    m_answer.reset();
    QMetaObject::invokeMethod(
        m_guiThread, [this, question, id] { show(question, id); }, Qt::QueuedConnection);
    m_changed.wait(lock, [this] { return m_answer.has_value() || m_closed; });
    return m_answer.value_or(ConsentAnswer::NoAnswer);
}

void QtConsentPrompter::cancel() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (m_closed) return;
    // Queued after the question's own show(), so a dialog still to appear is closed as well.
    QMetaObject::invokeMethod(
        m_guiThread, [this, id = m_current] { dismiss(id); }, Qt::QueuedConnection);
}

void QtConsentPrompter::show(const ConsentQuestion& question, QuestionId id) {
    {
        // Closed for good (the application quitting) before this call ran: its asker has gone.
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_closed) return;
    }
    auto* dialog = new ConsentDialog(question, m_icon);
    QObject::connect(dialog, &ConsentDialog::answered, m_guiThread,
                     [this, dialog, id](ConsentAnswer answer) {
                         dialog->deleteLater();
                         settle(id, answer);
                     });
    m_dialog = dialog;
    m_shown = id;
    dialog->present();
}

void QtConsentPrompter::dismiss(QuestionId id) {
    if (m_dialog && m_shown == id) m_dialog->dismiss();
}

void QtConsentPrompter::closeForGood() {
    markClosed();
    delete m_dialog.data();
}

void QtConsentPrompter::settle(QuestionId id, ConsentAnswer answer) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (id != m_current || m_answer) return;
    m_answer = answer;
    m_changed.notify_all();
}

void QtConsentPrompter::markClosed() {
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_closed = true;
    m_changed.notify_all();
}

}  // namespace quillmark
