#pragma once

#include <future>
#include <string>

#include "shell/signature_history.h"

namespace quillmark {

// The desktop agent's start-up and life: it opens the display, writes the autostart entry,
// closes older copies, starts the server thread and, as soon as its server listens, runs the
// main dialog; the program lives as long as the dialog. A server that cannot start is reported
// in an error box and ends the program.
class CQuillmarkXpApp {
  public:
    CQuillmarkXpApp(int& argc, char** argv);

    // Runs the start-up sequence and the dialog; returns the process's exit code.
    int InitInstance();

  private:
    static void writeAutostart(const std::string& modulePath);
    static void showStartFailure();
    static void runMainDialog(const SignatureHistory& history);
    static void stopServer(std::future<unsigned>& server);

    int& m_nArgc;
    char** m_pArgv;
};

}  // namespace quillmark
