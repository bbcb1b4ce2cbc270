#pragma once

#include <sys/types.h>

#include <string>

#include "support/dialog_turns.h"
#include "support/file_descriptor.h"
#include "support/secret.h"

namespace quillmark {

// How long a dialog may stay open before it closes itself (pinentry's SETTIMEOUT).
constexpr int kPinentryDialogSeconds = 300;

// How an Assuan command ended: OK; ERR because the user closed the dialog; ERR "Not confirmed"
// (a confirmation's third button, SETNOTOK); ERR because the dialog timed out; any other ERR or
// an INQUIRE we do not serve; or a conversation that broke off.
enum class AssuanReply { Ok, Cancelled, NotConfirmed, TimedOut, Refused, Broken };

// A running pinentry program, talked to in the Assuan protocol over a socket pair on its
// standard input and output. Destroying it closes the conversation and reaps the program.
class PinentryProcess {
  public:
    PinentryProcess() = default;
    ~PinentryProcess();
    PinentryProcess(const PinentryProcess&) = delete;
    PinentryProcess& operator=(const PinentryProcess&) = delete;

    // False when the program is not on PATH or cannot be started. It is ended at once when
    // the request it asks for (null: none) was abandoned meanwhile.
    bool start(const char* program, const RequestScope* request);

    // Sends one command line; false when the program is gone.
    bool send(const std::string& command);

    // Reads status, comment and data lines up to the command's final OK or ERR; data lines
    // (the escaped PIN) go into `data` when one is given.
    AssuanReply readReply(Secret* data = nullptr);

  private:
    void finish();

    FileDescriptor socket_;
    pid_t child_ = -1;
};

// Assuan escapes "%", CR and LF in parameters as %XX.
std::string escapeAssuanParameter(const std::string& text);
// The parameter with its %XX escapes decoded; false when an escape is malformed.
bool unescapeAssuanParameter(const std::string& escaped, std::string& text);

// Ends the pinentry open now, if any, and keeps new ones from starting: the agent stops.
// Async-signal-safe; any thread may call it.
void closePinentries();

// Ends the pinentry open now, if any, and no other: its request goes unanswered, and the dialog
// it belongs to tries no further program. Any thread may call it.
void cancelOpenPinentry();

// How many times cancelOpenPinentry() was called: a dialog whose count changed while it ran was
// cancelled.
unsigned pinentryCancellations();

// True once closePinentries() was called.
bool pinentriesClosed();

}  // namespace quillmark
