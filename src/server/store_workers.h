#pragma once

#include <libwebsockets.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "keystore/certificate_store.h"
#include "protocol/dispatcher.h"
#include "server/connection_tickets.h"
#include "server/request_text.h"
#include "support/dialog_turns.h"

namespace quillmark {

// Workers at work on the store at once, not counting those that wait for the user (a PIN
// dialog, or their turn for one): one, as the store serves one request at a time, and a worker
// waiting for the user gives it up, so that it never holds up the others.
constexpr int kMaxBusyStoreWorkers = 1;

// Worker threads in all, those waiting for the user included: each waiting request holds a
// thread, and a request that finds this many waits in the queue until one is free.
constexpr std::size_t kMaxStoreWorkerThreads = 32;

// A worker left idle this long ends; another starts when requests need it.
constexpr std::chrono::seconds kStoreWorkerIdleTime{30};

// The two above, which tests may set through QUILLMARK_TEST_STORE_WORKERS ("<threads>,<idle
// milliseconds>") as they cannot wait that long.
struct StoreWorkerLimits {
    std::size_t maxThreads = kMaxStoreWorkerThreads;
    std::chrono::milliseconds idleTime = kStoreWorkerIdleTime;
};

// A request handed to the workers: the connection it came on, its parsed form, its text
// (owned by the order) and its page's origin.
struct WorkOrder {
    WorkOrder() = default;
    ~WorkOrder() { releaseRequestText(text); }
    WorkOrder(const WorkOrder&) = delete;
    WorkOrder& operator=(const WorkOrder&) = delete;

    ConnectionTicket ticket{};
    Endpoint endpoint = Endpoint::Http;
    ParsedRequest request;
    RequestText text{};
    std::string origin;
};

// The order for a request received on a connection; it takes the request's text over and
// leaves `text` empty.
std::unique_ptr<WorkOrder> makeWorkOrder(ConnectionTicket ticket, Endpoint endpoint,
                                         ParsedRequest request, std::string_view origin,
                                         RequestText& text);

// A request the workers have finished: its reply (none: it gets no reply), or a failure
// (memory ran out) that closes its connection.
struct FinishedWork {
    ConnectionTicket ticket;
    OptionalText reply;
    bool failed = false;
};

// How a worker runs an order with its request's hold on the store (whose request is the
// order's scope): the order's request through the dispatcher, with the services it asks the
// user through, unless tests run something else.
using RunOrder = std::function<FinishedWork(WorkOrder& order, const StoreHandle& store)>;
FinishedWork runWorkOrder(WorkOrder& order, const StoreHandle& store,
                          const RequestServices& services);

// The worker threads that run the requests which read the certificate store (getCerts,
// sign), and on a WebSocket those that follow them, so that the service thread never waits
// for NSS, a token or the user. Requests of one connection run in the order they came. One
// request works on the store at a time (NSS lists a token's certificates in a varying order
// while two listings run at once, and getCerts and sign must agree on it); a request that
// waits for the user gives the store up meanwhile and another worker serves the requests that
// need no dialog. A finished request is put on a list and the service loop woken (the wake it
// was given); the service thread hands it to its connection if that is still open. Workers
// start as requests need them, up to a cap, and end when left idle, or at stop().
class StoreWorkers {
  public:
    explicit StoreWorkers(RunOrder run);
    ~StoreWorkers();
    StoreWorkers(const StoreWorkers&) = delete;
    StoreWorkers& operator=(const StoreWorkers&) = delete;

    // What wakes the service loop when work has finished (any thread may call it); set before
    // the first submit.
    void wakeWith(std::function<void()> wake);

    // wakeWith the context's own wake: lws_cancel_service.
    void serve(lws_context* context);

    // Queues a request (service thread).
    void submit(std::unique_ptr<WorkOrder> order);

    // The connection has closed (service thread): its queued requests are dropped, the one
    // running is abandoned (its dialog closes, its reply is dropped).
    void abandon(ConnectionTicket ticket);

    // Hands finished work to the connections still open, as `tickets` find them (service
    // thread); work of a connection closed meanwhile is dropped. Calling it again with nothing
    // new finished does nothing.
    void deliverFinished(const ConnectionTickets& tickets);

    // Abandons every request, ends every wait for a dialog turn and joins the workers: called
    // once the service loop has ended, after the PIN dialogs were closed.
    void stop();

  private:
    struct Queued {
        std::unique_ptr<WorkOrder> order;
        std::uint64_t arrival;
        AbandonFlag abandoned;
    };
    struct Running {
        ConnectionTicket ticket;
        std::uint64_t arrival;
        AbandonFlag abandoned;
    };
    using QueueIterator = std::deque<Queued>::iterator;

    void onDialogWait();
    void addWorkerIfNeeded();
    void work();
    std::thread retire();
    QueueIterator nextRunnable();
    FinishedWork run(Queued& queued);

    const RunOrder runOrder_;
    DialogLine dialogs_;
    CertificateStore store_;
    std::mutex storeMutex_;  // held by the request working on store_
    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Queued> queue_;
    std::vector<Running> running_;
    std::vector<FinishedWork> finished_;
    std::vector<std::thread> threads_;
    std::thread retired_;  // the last worker that ended, joined by the next one or at stop()
    const StoreWorkerLimits limits_;
    int idle_ = 0;
    bool stopping_ = false;
    std::uint64_t nextArrival_ = 1;
    std::function<void()> wakeService_;
};

// The store workers serving the connection's context.
StoreWorkers& storeWorkersOf(lws* wsi);

}  // namespace quillmark
