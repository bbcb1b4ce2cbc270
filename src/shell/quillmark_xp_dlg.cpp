#include "shell/quillmark_xp_dlg.h"

#include <QDBusConnection>
#include <QDBusInterface>
#include <QEvent>
#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <chrono>

#include "version.h"

namespace quillmark {
namespace {

// The window's layout in dialog units: a horizontal unit is a quarter of the dialog font's
// average character width, a vertical unit an eighth of its height, so the layout follows the
// font the desktop gives the dialog.
class DialogUnits {
  public:
    explicit DialogUnits(const QFontMetrics& metrics)
        : m_nCharWidth(averageCharWidth(metrics)), m_nCharHeight(metrics.height()) {}

    QSize size(int width, int height) const { return {x(width), y(height)}; }
    QRect rect(int left, int top, int width, int height) const {
        return {x(left), y(top), x(width), y(height)};
    }

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

// How often a window shown for want of a tray looks for one: Qt tells of no tray appearing.
constexpr std::chrono::seconds kTrayPoll(1);

constexpr Qt::WindowFlags kWindowFlags = Qt::Window | Qt::CustomizeWindowHint |
                                         Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                                         Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint;

}  // namespace

CQuillmarkXpDlg::CQuillmarkXpDlg(const QIcon& icon)
    : QDialog(nullptr, kWindowFlags),
      m_hIcon(icon),
      m_trayIcon(icon),
      m_restoreReason(dbusTrayInUse() ? QSystemTrayIcon::Trigger : QSystemTrayIcon::DoubleClick) {
    setWindowTitle(QStringLiteral("Norvale"));
    setWindowIcon(m_hIcon);
    m_trayIcon.setToolTip(QStringLiteral("Quillmark %1").arg(QLatin1String(kVersion)));
    createControls();
    connect(&m_trayIcon, &QSystemTrayIcon::activated, this, &CQuillmarkXpDlg::OnTrayNotify);
}

void CQuillmarkXpDlg::createControls() {
    const DialogUnits units(fontMetrics());
    resize(units.size(320, 200));

    auto* minimize = new QPushButton(QStringLiteral("Thu nhỏ"), this);
    minimize->setGeometry(units.rect(263, 179, 50, 14));
    connect(minimize, &QPushButton::clicked, this, &CQuillmarkXpDlg::OnMinimizeClicked);

    const struct {
        QString text;
        int top;
    } lines[] = {
        {QStringLiteral("Ứng dụng tích hợp ký số"), 78},
        {QStringLiteral("Norvale"), 87},
        {QStringLiteral("Phiên bản: %1     Ngày phiên bản: 16/06/2019")
             .arg(QLatin1String(kVersion)),
         96},
    };
    for (const auto& line : lines) {
        auto* label = new QLabel(line.text, this);
        label->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
        label->setGeometry(units.rect(10, line.top, 300, 8));
    }
    minimize->setFocus();
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
    QDialog::setVisible(visible);
}

void CQuillmarkXpDlg::done(int result) {
    m_trayIcon.hide();
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
    m_bAllowShow = false;
    hide();
    return true;
}

}  // namespace quillmark
