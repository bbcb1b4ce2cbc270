#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

namespace quillmark {

// Requests that need the user take turns: one dialog on screen at a time, given to the
// waiting request that arrived first. A worker marks the request it runs with a
// RequestScope; code about to show a dialog holds a DialogTurn while it is shown.

// Whether a request is still wanted: set once its page has gone away.
using AbandonFlag = std::shared_ptr<std::atomic<bool>>;

// The request this thread runs, from construction to destruction: its arrival number (lower
// arrived earlier), the flag its abandonment sets, and the lock it holds while it works (on
// the certificate store), which it gives up while it waits for the user so that other
// requests are served meanwhile.
class RequestScope {
  public:
    RequestScope(std::uint64_t arrival, AbandonFlag abandoned, std::unique_lock<std::mutex>& work);
    ~RequestScope();
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;
};

// True when the request this thread runs has been abandoned: a dialog for it must not open.
// False outside a RequestScope.
bool requestAbandoned();

// The dialog turn of the request this thread runs. Construction gives up the request's work
// lock and waits until no other dialog is shown and no request that arrived earlier waits
// for one; the turn is not granted when the request is abandoned or the agent stops
// meanwhile. Destruction passes the turn on, then takes the work lock back. `closeDialog` closes
// the dialog shown during the turn (any thread may call it, and it must not block): it is called
// when the request is abandoned while it holds the turn.
class DialogTurn {
  public:
    explicit DialogTurn(void (*closeDialog)());
    ~DialogTurn();
    DialogTurn(const DialogTurn&) = delete;
    DialogTurn& operator=(const DialogTurn&) = delete;

    bool granted() const { return granted_; }

  private:
    std::uint64_t arrival_;
    bool granted_ = false;
};

// Abandons a request: sets its flag, takes it out of the line, and closes its dialog if it
// holds the turn, so the next request's dialog can open.
void abandonRequest(std::uint64_t arrival, const AbandonFlag& abandoned);

// Requests waiting for a turn or holding one now.
int requestsAtDialogs();

// Called on the waiting thread each time a request starts waiting for its turn: whoever runs
// requests learns that one of its threads is held (set once, before any request runs).
void setDialogWaitListener(void (*listener)());

// The agent stops: every waiting request leaves the line without its turn, and none is
// granted from now on.
void stopDialogTurns();

}  // namespace quillmark
