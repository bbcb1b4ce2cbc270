#include "server/store_workers.h"

#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace quillmark {
namespace {

StoreWorkerLimits limitsFromEnvironment() {
    StoreWorkerLimits limits;
    const char* setting = std::getenv("QUILLMARK_TEST_STORE_WORKERS");
    unsigned threads = 0;
    unsigned idleMilliseconds = 0;
    if (setting != nullptr && std::sscanf(setting, "%u,%u", &threads, &idleMilliseconds) == 2 &&
        threads > 0) {
        limits.maxThreads = threads;
        limits.idleTime = std::chrono::milliseconds(idleMilliseconds);
    }
    return limits;
}

}  // namespace

std::unique_ptr<WorkOrder> makeWorkOrder(ConnectionTicket ticket, Endpoint endpoint,
                                         ParsedRequest request, std::string_view origin,
                                         RequestText& text) {
    auto order = std::make_unique<WorkOrder>();
    order->ticket = ticket;
    order->endpoint = endpoint;
    order->request = std::move(request);
    order->origin = std::string(origin);
    std::swap(order->text, text);
    return order;
}

StoreWorkers::StoreWorkers(RunOrder run)
    : runOrder_(std::move(run)), limits_(limitsFromEnvironment()) {}

StoreWorkers::~StoreWorkers() {
    stop();
}

void StoreWorkers::wakeWith(std::function<void()> wake) {
    const std::lock_guard<std::mutex> lock(mutex_);
    wakeService_ = std::move(wake);
}

void StoreWorkers::serve(lws_context* context) {
    wakeWith([context] { lws_cancel_service(context); });
}

void StoreWorkers::submit(std::unique_ptr<WorkOrder> order) {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_) return;
    queue_.push_back({std::move(order), nextArrival_++, std::make_shared<std::atomic<bool>>()});
    addWorkerIfNeeded();
    wake_.notify_all();
}

void StoreWorkers::abandon(ConnectionTicket ticket) {
    std::vector<Queued> dropped;  // freed outside the lock
    std::vector<std::pair<std::uint64_t, AbandonFlag>> abandoned;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        const auto kept = std::stable_partition(queue_.begin(), queue_.end(), [&](const Queued& q) {
            return !(q.order->ticket == ticket);
        });
        std::move(kept, queue_.end(), std::back_inserter(dropped));
        queue_.erase(kept, queue_.end());
        for (const Running& running : running_) {
            if (running.ticket == ticket)
                abandoned.emplace_back(running.arrival, running.abandoned);
        }
    }
    for (const auto& [arrival, flag] : abandoned)
        dialogs_.abandon(arrival, flag);
}

void StoreWorkers::deliverFinished(const ConnectionTickets& tickets) {
    std::vector<FinishedWork> finished;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        finished.swap(finished_);
    }
    for (FinishedWork& work : finished) {
        DeliverWork deliver = nullptr;
        if (lws* wsi = tickets.connectionOf(work.ticket, deliver)) deliver(wsi, work);
    }
}

void StoreWorkers::stop() {
    std::vector<std::thread> threads;
    std::vector<Queued> dropped;
    {
        const std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        std::move(queue_.begin(), queue_.end(), std::back_inserter(dropped));
        queue_.clear();
        for (const Running& running : running_)
            running.abandoned->store(true);
        threads.swap(threads_);
        threads.push_back(std::move(retired_));
    }
    dialogs_.stop();
    wake_.notify_all();
    for (std::thread& thread : threads) {
        if (thread.joinable()) thread.join();
    }
}

// A request has started waiting for the user: its thread no longer counts as busy.
void StoreWorkers::onDialogWait() {
    const std::lock_guard<std::mutex> lock(mutex_);
    addWorkerIfNeeded();
}

// A worker is added when a request waits and no worker is free to take it, unless as many
// as kMaxBusyStoreWorkers already read the store or the threads are at their cap: the request
// then waits in the queue for a worker to finish. Called with the lock held.
void StoreWorkers::addWorkerIfNeeded() {
    if (stopping_ || queue_.empty() || idle_ > 0) return;
    if (threads_.size() >= limits_.maxThreads) return;
    const int busy = static_cast<int>(threads_.size()) - idle_ - dialogs_.atDialogs();
    if (busy >= kMaxBusyStoreWorkers) return;
    threads_.emplace_back(&StoreWorkers::work, this);
}

// The oldest queued request whose connection has none running. Called with the lock held.
StoreWorkers::QueueIterator StoreWorkers::nextRunnable() {
    return std::find_if(queue_.begin(), queue_.end(), [&](const Queued& queued) {
        return std::none_of(running_.begin(), running_.end(), [&](const Running& running) {
            return running.ticket == queued.order->ticket;
        });
    });
}

void StoreWorkers::work() {
    // Named, so that a look at the process's threads tells its workers.
    pthread_setname_np(pthread_self(), "store-worker");
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        ++idle_;
        QueueIterator next;
        const bool woken = wake_.wait_for(lock, limits_.idleTime, [&] {
            return stopping_ || (next = nextRunnable()) != queue_.end();
        });
        --idle_;
        if (stopping_) return;
        if (!woken) {
            std::thread previous = retire();
            lock.unlock();
            if (previous.joinable()) previous.join();
            return;
        }
        Queued job = std::move(*next);
        queue_.erase(next);
        running_.push_back({job.order->ticket, job.arrival, job.abandoned});

        lock.unlock();
        FinishedWork finished = run(job);
        job.order.reset();  // the request's memory goes before the reply is posted
        lock.lock();

        running_.erase(std::find_if(running_.begin(), running_.end(),
                                    [&](const Running& r) { return r.arrival == job.arrival; }));
        if (!job.abandoned->load()) finished_.push_back(std::move(finished));
        wake_.notify_all();  // the connection's next request may run now
        if (wakeService_) wakeService_();
    }
}

// Takes the calling worker's thread off the list as it ends, to be joined by the next worker
// that ends or at stop(), and hands back the one that ended before it. Called with the lock held.
std::thread StoreWorkers::retire() {
    const auto self = std::find_if(threads_.begin(), threads_.end(), [](const std::thread& t) {
        return t.get_id() == std::this_thread::get_id();
    });
    std::thread previous = std::move(retired_);
    retired_ = std::move(*self);
    threads_.erase(self);
    return previous;
}

FinishedWork StoreWorkers::run(Queued& queued) {
    std::unique_lock<std::mutex> lock(storeMutex_);
    const RequestScope scope(dialogs_, queued.arrival, queued.abandoned, lock,
                             [this] { onDialogWait(); });
    const StoreHandle store(store_, &scope);
    return runOrder_(*queued.order, store);
}

FinishedWork runWorkOrder(WorkOrder& order, const StoreHandle& store,
                          const RequestServices& services) {
    FinishedWork finished{order.ticket, std::nullopt};
    try {
        const RequestContext context{order.endpoint, order.origin, store.request(), &services,
                                     &store};
        finished.reply = runRequest(order.request, requestView(order.text), context).reply;
    } catch (const std::bad_alloc&) {
        finished.failed = true;
    }
    return finished;
}

StoreWorkers& storeWorkersOf(lws* wsi) {
    return *static_cast<StoreWorkers*>(lws_context_user(lws_get_context(wsi)));
}

}  // namespace quillmark
