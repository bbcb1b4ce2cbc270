#include "shell/consent_dialog.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "keystore/assuan_client.h"
#include "keystore/consent_prompt_texts.h"
#include "keystore/pin_prompt_texts.h"
#include "shell/qt_unicode_origin.h"

namespace quillmark {
namespace {

constexpr int kNoAnswerResult = QDialog::Accepted + 1;
// How long the buttons take nothing after the dialog appears, as browsers wait before their
// permission prompts take input: a key or click meant for the page must not answer.
constexpr int kButtonsDelayMs = 1000;
constexpr int kIconSize = 48;
constexpr int kTextWidth = 420;
constexpr Qt::WindowFlags kWindowFlags = Qt::Dialog | Qt::WindowStaysOnTopHint |
                                         Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                         Qt::WindowCloseButtonHint;

ConsentAnswer answerOf(int result) {
    switch (result) {
        case QDialog::Accepted:
            return ConsentAnswer::Allow;
        case QDialog::Rejected:
            return ConsentAnswer::Deny;
        default:
            return ConsentAnswer::NoAnswer;
    }
}

QString description(const ConsentQuestion& question) {
    const ConsentPromptContext context{question.site, qtUnicodeOrigin(question.site)};
    return QString::fromStdString(consentDescription(context));
}

// A button label with its first letter as the keyboard shortcut (Alt and that letter).
QString withShortcut(const char* text) {
    return QLatin1Char('&') + QString::fromUtf8(text);
}

}  // namespace

ConsentDialog::ConsentDialog(const ConsentQuestion& question, const QIcon& icon)
    : QDialog(nullptr, kWindowFlags) {
    setWindowTitle(QString::fromUtf8(kPinDialogTitle));
    setWindowIcon(icon);
    addControls(question, icon);
    connect(this, &QDialog::finished, this,
            [this](int result) { emit answered(answerOf(result)); });
    QTimer::singleShot(kPinentryDialogSeconds * 1000, this, &ConsentDialog::dismiss);
}

void ConsentDialog::addControls(const ConsentQuestion& question, const QIcon& icon) {
    auto* picture = new QLabel(this);
    picture->setPixmap(icon.pixmap(kIconSize, kIconSize));
    picture->setAlignment(Qt::AlignTop);

    // Plain text: a name from the page must not be read as markup.
    auto* text = new QLabel(description(question), this);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    text->setMinimumWidth(kTextWidth);

    m_buttons = new QDialogButtonBox(this);
    QPushButton* allow =
        m_buttons->addButton(withShortcut(kConsentAllow), QDialogButtonBox::AcceptRole);
    m_deny = m_buttons->addButton(withShortcut(kConsentDeny), QDialogButtonBox::RejectRole);
    // Enter presses the default button, Space the focused one: both are Deny.
    allow->setAutoDefault(false);
    m_deny->setDefault(true);
    m_buttons->setEnabled(false);
    connect(m_buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(m_buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* column = new QVBoxLayout;
    column->addWidget(text);
    column->addWidget(m_buttons);
    auto* row = new QHBoxLayout(this);
    row->addWidget(picture);
    row->addLayout(column);
    row->setSizeConstraint(QLayout::SetFixedSize);
}

void ConsentDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (m_armTimerStarted) return;
    m_armTimerStarted = true;
    QTimer::singleShot(kButtonsDelayMs, this, [this] {
        m_buttons->setEnabled(true);
        m_deny->setFocus();
    });
}

// Until the buttons take input, neither Escape nor the close box answers either.
void ConsentDialog::done(int result) {
    if (result == kNoAnswerResult || m_buttons->isEnabled()) QDialog::done(result);
}

void ConsentDialog::present() {
    show();
    raise();
    activateWindow();
}

// The close box sends a spontaneous close; the application closing every window as it quits
// does not, and that is no answer from the user.
void ConsentDialog::closeEvent(QCloseEvent* event) {
    if (!event->spontaneous()) dismiss();
    QDialog::closeEvent(event);
}

void ConsentDialog::dismiss() {
    if (isVisible()) done(kNoAnswerResult);
}

}  // namespace quillmark
