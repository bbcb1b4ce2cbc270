#pragma once

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

#include "consent/consent_prompter.h"
#include "shell/consent_dialog.h"

namespace quillmark {

// Asks with the desktop agent's own dialog (ConsentDialog). ask() runs on a request's thread and
// hands the dialog to the GUI thread, where Qt widgets live, then waits for the answer. Once
// the application is about to quit (or gone), the dialog open is closed and every ask()
// answers NoAnswer at once: a stop never waits on the user, nor on a GUI thread that no longer
// runs its event loop.
class QtConsentPrompter : public ConsentPrompter {
  public:
    // Made on the GUI thread, while the application object lives.
    explicit QtConsentPrompter(const QIcon& icon);
    // Ended on the GUI thread too: at exit, once the application is gone, or before it.
    ~QtConsentPrompter() override;

    ConsentAnswer ask(const ConsentQuestion& question) override;
    void cancel() override;

  private:
    using QuestionId = std::uint64_t;

    // On the GUI thread.
    void show(const ConsentQuestion& question, QuestionId id);
    void dismiss(QuestionId id);
    void closeForGood();

    // On any thread: the answer to the question, when it is still the one asked.
    void settle(QuestionId id, ConsentAnswer answer);
    // No more dialogs: every ask() answers NoAnswer.
    void markClosed();

    QIcon m_icon;
    // Lives on the GUI thread, a child of the application: calls queued to it run there.
    QObject* m_guiThread;
    bool m_guiThreadGone = false;  // GUI thread only
    std::mutex m_asking;           // one question at a time
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_closed = false;
    QuestionId m_current = 0;
    std::optional<ConsentAnswer> m_answer;
    // GUI thread only: the dialog open now, and the question it asks.
    QPointer<ConsentDialog> m_dialog;
    QuestionId m_shown = 0;
};

}  // namespace quillmark
