#pragma once

#include <functional>
#include <string>
#include <vector>

#include "keystore/assuan_client.h"

namespace quillmark {

// How one run of a pinentry program ended: the user answered, closed the dialog or let it
// time out, or the program could not show it (missing, broke off, refused a setting or the
// dialog itself, as a curses pinentry without a terminal does).
enum class DialogRun { Answered, Closed, Unusable };

// How a dialog ended across the programs tried.
enum class DialogResult { Answered, Closed, NoProgram };

// The OPTION commands a pinentry client gives: the terminal it was started from (for a
// curses dialog), the X display, and the character set of the user's locale.
std::vector<std::string> sessionOptions();

// Shows one dialog through the first pinentry program that can show it. On a graphical session
// (DISPLAY or WAYLAND_DISPLAY set) the graphical programs are tried first, then "pinentry";
// elsewhere "pinentry" alone. Each run gets the session options and the settings, then `ask`
// carries out the dialog's own command. A program that is unusable gives way to the next;
// when none could show the dialog, `noProgramLog` is logged (on a graphical session; without
// one, that there is none and how to pass it to a user service). No dialog opens once the agent
// stops (closePinentries): the result is then Closed.
DialogResult runPinentryDialog(const std::vector<std::string>& settings,
                               const std::function<DialogRun(PinentryProcess&)>& ask,
                               const char* noProgramLog);

}  // namespace quillmark
