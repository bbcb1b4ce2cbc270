// QuillmarkXp: the desktop agent, with its tray icon and main dialog.
#include <cstdio>
#include <cstdlib>

#include "shell/close_request.h"
#include "shell/display.h"
#include "shell/quillmark_xp_app.h"

int main(int argc, char** argv) {
    if (!quillmark::displayAvailable()) {
        std::fputs(
            "QuillmarkXp: no graphical display can be opened (is DISPLAY set?); "
            "use quillmarkd, the headless agent, instead.\n",
            stderr);
        return EXIT_FAILURE;
    }
    quillmark::installCloseRequestHandlers();
    quillmark::CQuillmarkXpApp app(argc, argv);
    return app.InitInstance();
}
