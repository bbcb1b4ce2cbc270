#include "shell/quillmark_xp_app.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "consent/consent_gate.h"
#include "consent/pinentry_consent_prompter.h"
#include "desktop/autostart.h"
#include "desktop/other_copies.h"
#include "server/port_holder.h"
#include "server/server_thread.h"
#include "shell/close_request.h"
#include "shell/quillmark_xp_dlg.h"
#include "support/module_path.h"

namespace quillmark {
namespace {

// The icon installed in the hicolor theme, whose name a D-Bus tray passes on to its host;
// the copy compiled into the program where the theme does not have it.
QIcon applicationIcon() {
    QIcon builtIn;
    for (const int size : {16, 24, 32, 48, 256})
        builtIn.addFile(QStringLiteral(":/icons/quillmark-%1.png").arg(size), QSize(size, size));
    return QIcon::fromTheme(QStringLiteral("quillmark"), builtIn);
}

}  // namespace

CQuillmarkXpApp::CQuillmarkXpApp(int& argc, char** argv) : m_nArgc(argc), m_pArgv(argv) {}

int CQuillmarkXpApp::InitInstance() {
    // Qt ends the process when its display platform cannot start: the running copy is
    // closed only once this one has its display.
    QApplication application(m_nArgc, m_pArgv);
    application.setQuitOnLastWindowClosed(false);
    application.setWindowIcon(applicationIcon());

    const std::string modulePath = executablePath();
    writeAutostart(modulePath);
    closeOtherInstances(fileNameOf(modulePath));

    // A site not allowed yet is asked through pinentry, as a PIN is.
    setConsentPrompter(std::make_unique<PinentryConsentPrompter>());
    std::future<unsigned> server = startServerThread();
    // The thread only ends early when its server could not be set up.
    if (server.wait_for(kStartCheck) != std::future_status::timeout) {
        showStartFailure();
        return EXIT_FAILURE;
    }
    runMainDialog();
    stopServer(server);
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

void CQuillmarkXpApp::runMainDialog() {
    CQuillmarkXpDlg dialog(qApp->windowIcon());
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
    // A handler that waits on the user (a PIN prompt) keeps the service loop from stopping:
    // the program still ends, without waiting for it.
    if (server.wait_for(kStartCheck) == std::future_status::timeout) std::_Exit(EXIT_SUCCESS);
    server.get();
}

}  // namespace quillmark
