#include "support/dialog_turns.h"

#include <condition_variable>
#include <mutex>
#include <set>

namespace quillmark {
namespace {

struct CurrentRequest {
    std::uint64_t arrival = 0;
    AbandonFlag abandoned;
    std::unique_lock<std::mutex>* work = nullptr;
};
thread_local CurrentRequest current;

std::mutex turnsMutex;
std::condition_variable turnChanged;
std::multiset<std::uint64_t> waiting;  // arrival numbers, earliest first
bool dialogShown = false;
std::uint64_t shownFor = 0;
void (*closeShown)() = nullptr;
bool stopped = false;

std::atomic<int> atDialogs{0};
std::atomic<void (*)()> waitListener{nullptr};

bool isMyTurn(std::uint64_t arrival) {
    return !dialogShown && *waiting.begin() == arrival;
}

}  // namespace

RequestScope::RequestScope(std::uint64_t arrival, AbandonFlag abandoned,
                           std::unique_lock<std::mutex>& work) {
    current = {arrival, std::move(abandoned), &work};
}

RequestScope::~RequestScope() {
    current = {};
}

bool requestAbandoned() {
    return current.abandoned && current.abandoned->load();
}

DialogTurn::DialogTurn(void (*closeDialog)()) : arrival_(current.arrival) {
    if (current.work != nullptr) current.work->unlock();
    ++atDialogs;
    if (auto listener = waitListener.load()) listener();
    std::unique_lock<std::mutex> lock(turnsMutex);
    waiting.insert(arrival_);
    turnChanged.wait(lock, [&] { return stopped || requestAbandoned() || isMyTurn(arrival_); });
    waiting.erase(waiting.find(arrival_));
    granted_ = !stopped && !requestAbandoned();
    if (granted_) {
        dialogShown = true;
        shownFor = arrival_;
        closeShown = closeDialog;
    }
    turnChanged.notify_all();  // the next in line may be first now
}

DialogTurn::~DialogTurn() {
    {
        const std::lock_guard<std::mutex> lock(turnsMutex);
        if (granted_) {
            dialogShown = false;
            closeShown = nullptr;
        }
    }
    turnChanged.notify_all();
    --atDialogs;
    if (current.work != nullptr) current.work->lock();
}

void abandonRequest(std::uint64_t arrival, const AbandonFlag& abandoned) {
    abandoned->store(true);
    {
        const std::lock_guard<std::mutex> lock(turnsMutex);
        // Under the lock the turn cannot pass on: the dialog closed is this request's.
        if (dialogShown && shownFor == arrival && closeShown != nullptr) closeShown();
    }
    turnChanged.notify_all();
}

int requestsAtDialogs() {
    return atDialogs;
}

void setDialogWaitListener(void (*listener)()) {
    waitListener = listener;
}

void stopDialogTurns() {
    {
        const std::lock_guard<std::mutex> lock(turnsMutex);
        stopped = true;
    }
    turnChanged.notify_all();
}

}  // namespace quillmark
