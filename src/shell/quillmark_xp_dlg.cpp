#include "shell/quillmark_xp_dlg.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>

#include "shell/allowed_sites_list.h"
#include "shell/main_window_size.h"
#include "shell/main_window_texts.h"
#include "shell/readiness_check_pane.h"
#include "shell/refused_sites_list.h"
#include "shell/signature_history_list.h"
#include "version.h"

namespace quillmark {
namespace {

// The window's sizes in dialog units: a horizontal unit is a quarter of the dialog font's
// average character width, a vertical unit an eighth of its height, so the sizes follow the
// font the desktop gives the dialog.
class DialogUnits {
  public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : m_nCharWidth(averageCharWidth(metrics)), m_nCharHeight(metrics.height()) {}

    QSize size(int width, int height) const { return {x(width), y(height)}; }

  private:
    // The width of the alphabet in both cases over 52, rounded.
    static int averageCharWidth(const QFontMetrics& metrics) {
        const QString alphabet =
            QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
        return (metrics.horizontalAdvance(alphabet) / 26 + 1) / 2;
    }

    int x(int units) const { return (units * m_nCharWidth + 2) / 4; }
    int y(int units) const { return (units * m_nCharHeight + 4) / 8; }

    int m_nCharWidth;
    int m_nCharHeight;
};

// Qt puts the icon on a D-Bus tray (StatusNotifierItem: KDE Plasma, GNOME with AppIndicator)
// when a StatusNotifierWatcher with a host registered is on the session bus, and in the X11
// (XEmbed) tray otherwise; it decides once, when the first tray icon is made. A D-Bus tray
// reports a click as Trigger and never sends a double click.
bool dbusTrayInUse() {
    const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");
    QDBusInterface watcher(watcherName, QStringLiteral("/StatusNotifierWatcher"), watcherName,
                           QDBusConnection::sessionBus());
    return watcher.isValid() && watcher.property("IsStatusNotifierHostRegistered").toBool();
}

// The size the window opens at the first time, in dialog units: every column of the list of
// signatures shows for a site of some 30 characters and a certificate name of some 35.
constexpr int kDefaultWidth = 490;
constexpr int kDefaultHeight = 240;

// How often a window shown for want of a tray looks for one: Qt tells of no tray appearing.
constexpr std::chrono::seconds kTrayPoll(1);

constexpr Qt::WindowFlags kWindowFlags = Qt::Window | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

}  // namespace

CQuillmarkXpDlg::CQuillmarkXpDlg(const QIcon& icon, const SignatureHistory& history)
    : QDialog(nullptr, kWindowFlags),
      m_hIcon(icon),
      m_trayIcon(icon),
      m_restoreReason(dbusTrayInUse() ? QSystemTrayIcon::Trigger : QSystemTrayIcon::DoubleClick),
      m_strSizeFile(mainWindowSizeFile()) {
    setWindowTitle(QString::fromUtf8(kWindowCaption));
    setWindowIcon(m_hIcon);
    m_trayIcon.setToolTip(QStringLiteral("Quillmark %1").arg(QLatin1String(kVersion)));
    createControls(history);
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &CQuillmarkXpDlg::OnTrayNotify);
}

// The texts at the top, the lists under them taking what room the window has, then what closing
// the window does, and the button in the bottom right corner.
void CQuillmarkXpDlg::createControls(const SignatureHistory& history) {
    const DialogUnits units(fontMetrics());
    auto* layout = new QVBoxLayout(this);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(0);
    for (const QString& text : {QString::fromUtf8(kWindowHeading), QString::fromUtf8(kServiceName),
                                QString::fromUtf8(kVersionLine).arg(QLatin1String(kVersion))}) {
        auto* label = new QLabel(text, this);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        texts->addWidget(label);
    }
    layout->addLayout(texts);

    auto* activity = new QTabWidget(this);
    activity->addTab(new AllowedSitesList(activity), QString::fromUtf8(kAllowedSitesTab));
    activity->addTab(new SignatureHistoryList(history, activity), QString::fromUtf8(kHistoryTab));
    activity->addTab(new RefusedSitesList(activity), QString::fromUtf8(kRefusedSitesTab));
    activity->addTab(new ReadinessCheckPane(activity), QString::fromUtf8(kCheckTab));
    layout->addWidget(activity, 1);

    m_pCloseNote = new QLabel(this);
    m_pCloseNote->setWordWrap(true);
    layout->addWidget(m_pCloseNote);
    showCloseNote();

    auto* minimize = new QPushButton(QString::fromUtf8(kMinimizeButton), this);
    minimize->setMinimumSize(units.size(50, 14));
    connect(minimize, &QPushButton::clicked, this, &CQuillmarkXpDlg::OnMinimizeClicked);
    layout->addWidget(minimize, 0, Qt::AlignRight);
    minimize->setFocus();
    restoreSize(units.size(kDefaultWidth, kDefaultHeight));
}

void CQuillmarkXpDlg::restoreSize(const QSize& defaultSize) {
    const QSize saved = savedMainWindowSize(m_strSizeFile);
    // The window manager's frame is not known before the window shows: a title bar's height is
    // left for it.
    const QSize room = screen()->availableGeometry().size() -
                       QSize(0, style()->pixelMetric(QStyle::PM_TitleBarHeight));
    m_sizeKept = (saved.isValid() ? saved : defaultSize).boundedTo(room);
    resize(m_sizeKept);
}

void CQuillmarkXpDlg::keepSize() {
    const QSize size = isMaximized() || isFullScreen() ? normalGeometry().size() : this->size();
    if (size != m_sizeKept && saveMainWindowSize(m_strSizeFile, size)) m_sizeKept = size;
}

void CQuillmarkXpDlg::showCloseNote() {
    const bool tray = QSystemTrayIcon::isSystemTrayAvailable();
    m_pCloseNote->setText(QString::fromUtf8(tray ? kCloseNote : kCloseNoteWithoutTray));
}

void CQuillmarkXpDlg::OnInitDialog() {
    if (AddTrayIcon()) {
        m_bAllowShow = false;
        hide();
        return;
    }
    // No tray (GNOME without an extension, a Wayland session without a StatusNotifierItem
    // host, a desktop that starts its tray later): the window shows, so the agent is never
    // out of sight, and the icon joins it once a tray appears.
    m_bAllowShow = true;
    showNormal();
    waitForTray();
}

void CQuillmarkXpDlg::waitForTray() {
    auto* poll = new QTimer(this);
    connect(poll, &QTimer::timeout, this, [this, poll] {
        AddTrayIcon();
        if (m_bTrayIconShown) poll->deleteLater();
    });
    poll->start(kTrayPoll);
}

bool CQuillmarkXpDlg::AddTrayIcon() {
    if (m_bTrayIconShown || !QSystemTrayIcon::isSystemTrayAvailable()) return false;
    m_trayIcon.show();
    m_bTrayIconShown = true;
    showCloseNote();
    return true;
}

bool CQuillmarkXpDlg::DeleteTrayIcon() {
    if (!m_bTrayIconShown) return false;
    m_trayIcon.hide();
    m_bTrayIconShown = false;
    return true;
}

void CQuillmarkXpDlg::setVisible(bool visible) {
    if (visible && !m_bAllowShow) return;
    if (visible) showCloseNote();
    QDialog::setVisible(visible);
}

void CQuillmarkXpDlg::done(int result) {
    m_trayIcon.hide();
    keepSize();
    QDialog::done(result);
}

void CQuillmarkXpDlg::changeEvent(QEvent* event) {
    QDialog::changeEvent(event);
    // The window manager has already minimised the window: trade it for the tray icon once
    // the state change has been handled; without a tray it stays minimised.
    if (event->type() == QEvent::WindowStateChange && isMinimized())
        QTimer::singleShot(0, this, [this] {
            if (isMinimized()) hideToTray();
        });
}

void CQuillmarkXpDlg::OnTrayNotify(QSystemTrayIcon::ActivationReason reason) {
    // Only the restoring click counts; the right and middle buttons do nothing (no menu).
    if (reason != m_restoreReason || !DeleteTrayIcon()) return;
    m_bAllowShow = true;
    showNormal();
    raise();
    activateWindow();
}

void CQuillmarkXpDlg::OnMinimizeClicked() {
    if (!hideToTray()) showMinimized();
}

bool CQuillmarkXpDlg::hideToTray() {
    AddTrayIcon();
    if (!m_bTrayIconShown) return false;
    keepSize();
    m_bAllowShow = false;
    hide();
    return true;
}

}  // namespace quillmark
