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
// examined; its start-up closes this one. False when it could not be started.
bool startNewCopy();

// From now on a restart ends this copy with kRestartExitStatus, for its service manager to
// start it again, instead of starting a new copy. The headless agent's unit restarts on that
// status; the desktop agent keeps starting a new copy, since a desktop's autostart unit has
// no restart setting and would leave it ended.
void restartThroughServiceManager();

// Logs "do restart", writes out the log, and restarts this copy: a new copy is started (its
// start-up closes this one), or, after restartThroughServiceManager, this copy is asked to stop in
// order with the same close request (SIGTERM) that a new copy sends, and main then exits with
// kRestartExitStatus. While a restart is under way (its new copy runs, or this copy is stopping for
// it), a further call does nothing.
void restartProcess();

// True once restartProcess has asked this copy to stop for its service manager.
bool stoppingForRestart();

}  // namespace quillmark
