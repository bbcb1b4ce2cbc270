// QuillmarkXp: the desktop agent, with its tray icon and main dialog.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "check/self_check.h"
#include "shell/display.h"
#include "shell/quillmark_xp_app.h"
#include "support/command_line.h"

namespace {

const quillmark::ProgramUsage kUsage{
    "QuillmarkXp",
    "The Quillmark desktop signing agent: lets web pages list the certificates of your NSS\n"
    "store and sign with them, asking you first, from an icon in the system tray. Started\n"
    "without arguments, it adds itself to the session's autostart and replaces any other\n"
    "running copy.\n",
    {{"--check",
      "tell whether web pages can use the agent now, and what to do if not; exit 1 if not",
      quillmark::printSelfCheck}}};

}  // namespace

int main(int argc, char** argv) {
    if (const auto status = quillmark::answerCommandLine(argc, argv, kUsage)) return *status;
    if (const std::string problem = quillmark::chooseDisplayPlatform(); !problem.empty()) {
        std::fprintf(stderr, "QuillmarkXp: %s; use quillmarkd, the headless agent, instead.\n",
                     problem.c_str());
        return EXIT_FAILURE;
    }
    quillmark::CQuillmarkXpApp app(argc, argv);
    return app.InitInstance();
}
