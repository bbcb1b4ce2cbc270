#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

namespace quillmark {

// Requests that need the user take turns: one dialog on screen at a time, given to the
// waiting request that arrived first. Whoever runs requests keeps a DialogLine and gives each
// request a RequestScope; the request carries its scope down to the code about to show a
// dialog, which holds a DialogTurn while the dialog is shown.

// Whether a request is still wanted: set once its page has gone away.
using AbandonFlag = std::shared_ptr<std::atomic<bool>>;

// The requests waiting for a dialog turn, and the one holding it. Any thread may call these.
class DialogLine {
  public:
    // Abandons a request: sets its flag, takes it out of the line, and closes its dialog if it
    // holds the turn, so the next request's dialog can open.
    void abandon(std::uint64_t arrival, const AbandonFlag& abandoned);

    // Requests waiting for a turn or holding one now.
    int atDialogs() const { return atDialogs_; }

    // The agent stops: every waiting request leaves the line without its turn, and none is
    // granted from now on.
    void stop();

  private:
    friend class DialogTurn;
    bool isTurnOf(std::uint64_t arrival) const;

    std::mutex mutex_;
    std::condition_variable changed_;
    std::multiset<std::uint64_t> waiting_;  // arrival numbers, earliest first
    bool shown_ = false;
    std::uint64_t shownFor_ = 0;
    std::function<void()> closeShown_;
    bool stopped_ = false;
    std::atomic<int> atDialogs_{0};
};

// One request as it runs: its line, its arrival number (lower arrived earlier), the flag its
// abandonment sets, the lock it holds while it works (on the certificate store), which it
// gives up while it waits for the user so that other requests are served meanwhile, and what
// to call when it starts waiting for a turn (its runner learns that a thread is held).
class RequestScope {
  public:
    RequestScope(DialogLine& line, std::uint64_t arrival, AbandonFlag abandoned,
                 std::unique_lock<std::mutex>& work, std::function<void()> onWait);
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

    bool abandoned() const { return abandoned_->load(); }

  private:
    friend class DialogTurn;
    DialogLine& line_;
    std::uint64_t arrival_;
    AbandonFlag abandoned_;
    std::unique_lock<std::mutex>& work_;
    std::function<void()> onWait_;
};

// True when the request has been abandoned: a dialog for it must not open. False for none.
bool requestAbandoned(const RequestScope* request);

// The request's dialog turn. Construction gives up the request's work lock and waits until no
// other dialog is shown and no request that arrived earlier waits for one; the turn is not
// granted when the request is abandoned or the line stops meanwhile. Destruction passes the
// turn on, then takes the work lock back. `closeDialog` closes the dialog shown during the
// turn (any thread may call it, and it must not block): it is called when the request is
// abandoned while it holds the turn. Without a request (null: a caller outside any runner)
// the turn is granted at once and nothing is given up.
class DialogTurn {
  public:
    DialogTurn(const RequestScope* request, std::function<void()> closeDialog);
    ~DialogTurn();
    DialogTurn(const DialogTurn&) = delete;
    DialogTurn& operator=(const DialogTurn&) = delete;

    bool granted() const { return granted_; }

  private:
    const RequestScope* request_;
    bool granted_ = false;
};

}  // namespace quillmark
