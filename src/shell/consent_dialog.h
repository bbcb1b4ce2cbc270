#pragma once

#include <QDialog>
#include <QIcon>

#include "consent/consent_prompter.h"

namespace quillmark {

// The question a site asks, above every other window: which site (scheme, host and port as its
// browser sent them, and the host in Unicode too when it has an internationalised name), what
// it asks, the agent's icon, and Allow and Deny. Deny is the default button, so that a key
// pressed as the dialog appears never allows a site. Escape or the close box is Deny; a dialog
// left unanswered as long as a PIN dialog, or closed by the application as it quits, closes
// with no answer.
class ConsentDialog : public QDialog {
    Q_OBJECT

  public:
    ConsentDialog(const ConsentQuestion& question, const QIcon& icon);

    // Shows the dialog above the others and gives it the focus.
    void present();
    // Closes the dialog with no answer.
    void dismiss();

  signals:
    // Once, when the dialog closes.
    void answered(ConsentAnswer answer);

  protected:
    void closeEvent(QCloseEvent* event) override;

  private:
    void addControls(const ConsentQuestion& question, const QIcon& icon);
};

}  // namespace quillmark
