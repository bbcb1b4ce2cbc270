#pragma once

#include <QDialog>
#include <QDialogButtonBox>
#include <QIcon>
#include <QPushButton>

#include "consent/consent_prompter.h"

namespace quillmark {

// The question a site asks, above every other window: which site (scheme, host and port as its
// browser sent them, and the host in Unicode too when it has an internationalised name), what
// it asks, a warning in bold when the host imitates an allowed site, a line telling that
// nothing more is asked when the store has no password, the agent's icon, and Allow and Deny.
// For a second after it appears nothing answers it, neither key nor click, so that input meant
// for the page does not; then Deny is the default and focused button, so that Enter or Space
// alone never allows. Escape or the close box is Deny; a dialog left unanswered as long as a
// PIN dialog, or closed by the application as it quits, closes with no answer. Shared by the
// desktop agent and quillmark-consent.
class ConsentDialog : public QDialog {
    Q_OBJECT

  public:
    ConsentDialog(const ConsentQuestion& question, const QIcon& icon);

    // Shows the dialog above the others and gives it the focus.
    void present();
    // Closes the dialog with no answer.
    void dismiss();
    void done(int result) override;

  signals:
    // Once, when the dialog closes.
    void answered(ConsentAnswer answer);

  protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    void addControls(const ConsentQuestion& question, const QIcon& icon);

    QDialogButtonBox* m_buttons = nullptr;
    QPushButton* m_deny = nullptr;
    bool m_armTimerStarted = false;
};

}  // namespace quillmark
