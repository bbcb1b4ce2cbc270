#include "shell/consent_dialog.h"

#include <QCloseEvent>
#include <QDialogButtonBox>
#include <QFont>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "consent/registrable_domain.h"
#include "dialogs/assuan_client.h"
#include "dialogs/consent_prompt_texts.h"
#include "dialogs/pin_prompt_texts.h"
#include "dialogs/shown_text.h"
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

// A line of words, wrapped to the dialog's width. Plain text: nothing is read as markup.
QLabel* wrappedLabel(const std::string& text, QWidget* parent) {
    auto* label = new QLabel(QString::fromStdString(text), parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    label->setMinimumWidth(kTextWidth);
    return label;
}

// A warning that must not be skimmed over: in bold.
QLabel* warningLabel(QLabel* label) {
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

// The origin on a line of its own, never wrapped (a wrap at a hyphen or dot would blur where
// the name ends), with its registrable domain in bold and the rest plain, so that a lookalike
// ("portal.example.vn.attacker.example") shows whose it is. Every part is escaped: the origin
// comes from the page.
QLabel* siteLabel(const std::string& origin, bool asciiOnly, const char* around, QWidget* parent) {
    const OriginParts parts = splitAtRegistrableDomain(origin);
    const auto shown = [asciiOnly](const std::string& part) {
        return QString::fromStdString(shownText(part, asciiOnly)).toHtmlEscaped();
    };
    const QString site = shown(parts.before) + QStringLiteral("<b>") + shown(parts.domain) +
                         QStringLiteral("</b>") + shown(parts.after);
    auto* label = new QLabel(QString::fromUtf8(around).arg(site), parent);
    label->setTextFormat(Qt::RichText);
    label->setWordWrap(false);
    return label;
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

    // The site between the words, its Unicode form first when it has one.
    const ConsentPromptContext context{question.site, qtUnicodeOrigin(question.site),
                                       question.lookalike, question.storeWithoutPassword};
    const ConsentPromptLines lines = consentPromptLines(context);
    auto* text = new QVBoxLayout;
    text->addWidget(wrappedLabel(lines.lead, this));
    if (lines.showsSite) {
        if (!context.unicodeOrigin.empty())
            text->addWidget(siteLabel(context.unicodeOrigin, false, "%1", this));
        text->addWidget(
            siteLabel(context.origin, true, context.unicodeOrigin.empty() ? "%1" : "(%1)", this));
    }
    text->addWidget(wrappedLabel(lines.request, this));
    if (!lines.lookalikeWarning.empty())
        text->addWidget(warningLabel(wrappedLabel(lines.lookalikeWarning, this)));
    if (!lines.noPasswordWarning.empty())
        text->addWidget(wrappedLabel(lines.noPasswordWarning, this));
    text->addWidget(wrappedLabel(lines.note, this));

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
    column->addLayout(text);
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
