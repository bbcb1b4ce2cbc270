// QuillmarkXp: the desktop agent, with its tray icon and main dialog.
#include <cstdio>
#include <cstdlib>
#include <string>

#include "shell/close_request.h"
#include "shell/display.h"
#include "shell/quillmark_xp_app.h"

int main(int argc, char** argv) {
    if (const std::string problem = quillmark::chooseDisplayPlatform(); !problem.empty()) {
        std::fprintf(stderr, "QuillmarkXp: %s; use quillmarkd, the headless agent, instead.\n",
                     problem.c_str());
        return EXIT_FAILURE;
    }
    quillmark::installCloseRequestHandlers();
    quillmark::CQuillmarkXpApp app(argc, argv);
    return app.InitInstance();
}
