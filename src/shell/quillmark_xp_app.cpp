#include "shell/quillmark_xp_app.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <cstdlib>

#include "desktop/autostart.h"
#include "desktop/other_copies.h"
#include "server/server_thread.h"
#include "shell/close_request.h"
#include "shell/quillmark_xp_dlg.h"
#include "support/module_path.h"

namespace quillmark {
namespace {

QIcon applicationIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/quillmark-%1.png").arg(size), QSize(size, size));
    return icon;
}

}  // namespace

CQuillmarkXpApp::CQuillmarkXpApp(int& argc, char** argv) : m_nArgc(argc), m_pArgv(argv) {}

int CQuillmarkXpApp::InitInstance() {
    const std::string modulePath = executablePath();
    writeAutostart(modulePath);
    closeOtherInstances(fileNameOf(modulePath));

    QApplication application(m_nArgc, m_pArgv);
    application.setQuitOnLastWindowClosed(false);
    application.setWindowIcon(applicationIcon());

    ServerThread server = startServerThread();
    if (!server.ready.get()) {
        showStartFailure();
        return EXIT_FAILURE;
    }
    runMainDialog();
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
                    QString::fromUtf8(kStartFailedMessage), QMessageBox::Ok);
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
    // A server thread that has not ended in time does not keep the program: it ends without
    // waiting for it.
    if (server.wait_for(kStopWait) == std::future_status::timeout) std::_Exit(EXIT_SUCCESS);
    server.get();
}

}  // namespace quillmark
