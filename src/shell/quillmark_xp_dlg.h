#pragma once

#include <QDialog>
#include <QIcon>
#include <QSize>
#include <QString>
#include <QSystemTrayIcon>

class QLabel;

#include "shell/signature_history.h"

namespace quillmark {

// The agent's main window: what the program is, its version, the sites allowed (the user's
// and the administrator's), the last signatures made, the sites refused in this run, a check
// of whether web pages can use the agent, and a button that sends it to the tray. It starts hidden
// with only its tray icon shown; a left double click on the icon (a click on a D-Bus tray, which
// sends no double clicks) trades the icon for the window, minimising or the button trade the window
// for the icon. Where no tray is available it starts shown and minimises like any window; a tray
// that appears later gets the icon beside the window, which stays until the user minimises it.
// Closing it (close box, Escape, a close request) ends the dialog and with it the program, as a
// line above the button says. It opens at the size the user last left it at.
class CQuillmarkXpDlg : public QDialog {
    Q_OBJECT

  public:
    CQuillmarkXpDlg(const QIcon& icon, const SignatureHistory& history);

    // Puts the icon in the tray and keeps the window hidden, or shows the window when no
    // tray is available.
    void OnInitDialog();

    // Shows the tray icon; false when it is already shown or no tray is there to take it.
    bool AddTrayIcon();
    // Removes the tray icon; false when none is shown.
    bool DeleteTrayIcon();

    // Every attempt to show the window is ignored until the user restores it from the tray.
    void setVisible(bool visible) override;

  public slots:
    void done(int result) override;

  protected:
    void changeEvent(QEvent* event) override;

  private:
    void createControls(const SignatureHistory& history);
    // Opens at the size kept from the last run, else at the default; within the screen.
    void restoreSize(const QSize& defaultSize);
    // Keeps the size the window is left at, when it changed.
    void keepSize();
    // Says what the button does: trade the window for the tray icon, or minimise it.
    void showCloseNote();
    // Shows the icon as soon as a tray is available.
    void waitForTray();
    void OnTrayNotify(QSystemTrayIcon::ActivationReason reason);
    void OnMinimizeClicked();
    // Trades the window for the tray icon (already there or shown now); false (window
    // unchanged) when no tray takes it.
    bool hideToTray();

    QIcon m_hIcon;
    QSystemTrayIcon m_trayIcon;
    // Made after the icon, so it follows the kind of tray Qt chose for it.
    const QSystemTrayIcon::ActivationReason m_restoreReason;
    bool m_bTrayIconShown = false;
    bool m_bAllowShow = false;
    QLabel* m_pCloseNote = nullptr;
    const QString m_strSizeFile;
    QSize m_sizeKept;  // the size restored or last kept
};

}  // namespace quillmark
