#include "support/dialog_turns.h"

namespace quillmark {

void DialogLine::abandon(std::uint64_t arrival, const AbandonFlag& abandoned) {
    abandoned->store(true);
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        // Under the lock the turn cannot pass on: the dialog closed is this request's.
        if (shown_ && shownFor_ == arrival && closeShown_) closeShown_();
    }
    changed_.notify_all();
}

void DialogLine::stop() {
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopped_ = true;
    }
    changed_.notify_all();
}

bool DialogLine::isTurnOf(std::uint64_t arrival) const {
    return !shown_ && *waiting_.begin() == arrival;
}

RequestScope::RequestScope(DialogLine& line, std::uint64_t arrival, AbandonFlag abandoned,
                           std::unique_lock<std::mutex>& work, std::function<void()> onWait)
    : line_(line),
      arrival_(arrival),
      abandoned_(std::move(abandoned)),
      work_(work),
      onWait_(std::move(onWait)) {}

bool requestAbandoned(const RequestScope* request) {
    return request != nullptr && request->abandoned();
}

DialogTurn::DialogTurn(const RequestScope* request, std::function<void()> closeDialog)
    : request_(request) {
    if (request_ == nullptr) {
        granted_ = true;
        return;
    }
    DialogLine& line = request_->line_;
    const std::uint64_t arrival = request_->arrival_;
    request_->work_.unlock();
    ++line.atDialogs_;
    if (request_->onWait_) request_->onWait_();
    std::unique_lock<std::mutex> lock(line.mutex_);
    line.waiting_.insert(arrival);
    line.changed_.wait(
        lock, [&] { return line.stopped_ || request_->abandoned() || line.isTurnOf(arrival); });
    line.waiting_.erase(line.waiting_.find(arrival));
    granted_ = !line.stopped_ && !request_->abandoned();
    if (granted_) {
        line.shown_ = true;
        line.shownFor_ = arrival;
        line.closeShown_ = std::move(closeDialog);
    }
    line.changed_.notify_all();  // the next in line may be first now
}

DialogTurn::~DialogTurn() {
    if (request_ == nullptr) return;
    DialogLine& line = request_->line_;
    {
        const std::lock_guard<std::mutex> lock(line.mutex_);
        if (granted_) {
            line.shown_ = false;
            line.closeShown_ = nullptr;
        }
    }
    line.changed_.notify_all();
    --line.atDialogs_;
    request_->work_.lock();
}

}  // namespace quillmark
