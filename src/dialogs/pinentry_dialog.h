#pragma once

#include <functional>
#include <string>
#include <vector>

#include "dialogs/assuan_client.h"

namespace quillmark {

// How one run of a pinentry program ended: the user answered, closed the dialog or let it
// time out, or the program could not show it (missing, broke off, refused a setting or the
// dialog itself, as a curses pinentry without a terminal does).
enum class DialogRun { Answered, Closed, Unusable };

// How a dialog ended across the programs tried.
enum class DialogResult { Answered, Closed, NoProgram };

// True when DISPLAY or WAYLAND_DISPLAY is set: the session can show a graphical dialog.
bool graphicalSession();

// The pinentry programs a graphical session's dialog tries, in their order, that are on PATH.
std::vector<std::string> installedGraphicalPinentries();

// The OPTION commands a pinentry client gives: the terminal it was started from (for a
// curses dialog), the X display, and the character set of the user's locale.
std::vector<std::string> sessionOptions();

// How one program is asked for a dialog: the commands that set it up, then the dialog's own
// command carried out.
struct DialogSteps {
    std::vector<std::string> settings;
    std::function<DialogRun(PinentryProcess&)> ask;
};

// A program of the agent's own that speaks pinentry's protocol, tried before the pinentry
// programs on a graphical session, with steps of its own.
struct OwnDialogProgram {
    std::string path;
    DialogSteps steps;
};

// Shows one dialog for the request (null: none) through the first program that can show it. On a
// graphical session (DISPLAY or WAYLAND_DISPLAY set) `own` is tried first when given, then the
// graphical pinentry programs, then "pinentry"; elsewhere "pinentry" alone. `unsuitable`, when
// given, names a pinentry program that cannot show this dialog, which is skipped. Each run gets the
// session options and its steps' settings, then its steps' ask carries out the dialog's own
// command. A program that is unusable gives way to the next; when none could show the dialog,
// `noProgramLog` is logged (on a graphical session; without one, that there is none and how to
// pass it to a user service). No dialog opens once the agent stops (closePinentries), or once
// the dialog was cancelled (cancelOpenPinentry) or its request abandoned: the result is then
// Closed.
DialogResult runPinentryDialog(const DialogSteps& steps, const RequestScope* request,
                               const char* noProgramLog, const OwnDialogProgram* own = nullptr,
                               const char* unsuitable = nullptr);

}  // namespace quillmark
