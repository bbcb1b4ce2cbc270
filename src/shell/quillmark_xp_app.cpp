#include "shell/quillmark_xp_app.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

#include "check/port_holder.h"
#include "desktop/autostart.h"
#include "desktop/other_copies.h"
#include "dialogs/pinentry_pin_prompter.h"
#include "server/server_thread.h"
#include "shell/application_icon.h"
#include "shell/close_request.h"
#include "shell/qt_consent_prompter.h"
#include "shell/quillmark_xp_dlg.h"
#include "shell/signature_notification.h"
#include "signing/signature_trace.h"
#include "support/module_path.h"

namespace quillmark {

CQuillmarkXpApp::CQuillmarkXpApp(int& argc, char** argv) : m_nArgc(argc), m_pArgv(argv) {}

int CQuillmarkXpApp::InitInstance() {
    // Qt ends the process when its display platform cannot start: the running copy is
    // closed only once this one has its display.
    QApplication application(m_nArgc, m_pArgv);
    application.setQuitOnLastWindowClosed(false);
    application.setWindowIcon(applicationIcon());

    const std::string modulePath = executablePath();
    // Until the older copies are gone, a close request from a newer copy ends this one at
    // once (the default action): it holds nothing yet, and the newer copy need not wait.
    closeOtherInstances(fileNameOf(modulePath));
    installCloseRequestHandlers();

    // A site not allowed yet is asked with the agent's own dialog; it closes, and asks no more,
    // once the application is about to quit, so the stop below never waits on it.
    QtConsentPrompter consentPrompter(application.windowIcon());
    PinentryPinPrompter pinPrompter;  // the desktop agent asks PINs with pinentry too
    // Made before the server starts and kept until it has stopped (the future's end waits for
    // the thread), so that every signature reaches it.
    SignatureHistory history;
    SignatureNotifications notifications;
    QObject::connect(&history, &SignatureHistory::added, &notifications,
                     &SignatureNotifications::show);
    const RequestServices services{
        &consentPrompter, &pinPrompter,
        [&history](const SignatureRecord& record) { history.record(record); }};
    ServerThread server = startServerThread(services);
    if (!server.ready.get()) {
        showStartFailure();
        return EXIT_FAILURE;
    }
    // Only the copy that has the port starts at the next login: a copy that lost it to the
    // headless agent's service must not switch the user over.
    writeAutostart(modulePath);
    runMainDialog(history);
    stopServer(server.exitCode);
    return EXIT_SUCCESS;
}

void CQuillmarkXpApp::writeAutostart(const std::string& modulePath) {
    switch (writeAutostartEntry(modulePath)) {
        case AutostartResult::NotOpen:
            std::fputs("not open", stdout);
            break;
        case AutostartResult::NotSet:
            std::fputs("not set", stdout);
            break;
        case AutostartResult::Written:
            break;
    }
    std::fflush(stdout);
}

void CQuillmarkXpApp::showStartFailure() {
    QMessageBox box(QMessageBox::Critical, QStringLiteral("Error"),
                    QString::fromStdString(startFailureText()), QMessageBox::Ok);
    box.exec();
}

void CQuillmarkXpApp::runMainDialog(const SignatureHistory& history) {
    CQuillmarkXpDlg dialog(qApp->windowIcon(), history);
    CloseRequestNotifier closeRequests;
    QObject::connect(&closeRequests, &CloseRequestNotifier::closeRequested, &dialog,
                     &QDialog::reject);
    // Hiding the dialog into the tray must not end it, so it does not run its own loop.
    QObject::connect(&dialog, &QDialog::finished, qApp, &QCoreApplication::quit);
    dialog.OnInitDialog();
    QApplication::exec();
}

// The stop path, in order: the server is asked to stop, a PIN prompt still open is closed,
// then the server thread is waited for.
void CQuillmarkXpApp::stopServer(std::future<unsigned>& server) {
    requestStop();
    // Stop hook of the PIN prompt: a prompt still open is closed here, not left on screen.
    // A server thread that has not ended in time does not keep the program: it ends without
    // waiting for it.
    if (server.wait_for(kStopWait) == std::future_status::timeout) std::_Exit(EXIT_SUCCESS);
    server.get();
}

}  // namespace quillmark
