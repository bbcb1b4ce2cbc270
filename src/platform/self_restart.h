#pragma once

namespace quillmark {

// The exit status of a copy that ends so that its service manager starts it again: the
// systemd unit lists it in RestartForceExitStatus= and SuccessExitStatus= (EX_TEMPFAIL).
constexpr int kRestartExitStatus = 75;

// True when a service manager runs this process: systemd sets INVOCATION_ID for a unit's
// processes. It then ends a unit's whole control group with its main process, so a new copy
// started from here would not outlive this one.
bool runByServiceManager();

// Starts a new copy of the running executable with no arguments, the current environment
// and directory, and no inherited descriptors. When the executable has been replaced on disk,
// the file now at its path is started. The copy is reaped when it ends but its result is not
// examined; its start-up closes this one.
void startNewCopy();

// Marks that this copy ends to be started again, then asks it to stop in order with the same
// close request (SIGTERM) that a new copy sends; main then exits with kRestartExitStatus.
void stopForRestart();

// True once stopForRestart has been called.
bool stoppingForRestart();

}  // namespace quillmark
