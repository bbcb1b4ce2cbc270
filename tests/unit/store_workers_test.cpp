#include "server/store_workers.h"

#include <gtest/gtest.h>

#include <future>

using namespace quillmark;

namespace {

// How long a test waits for what should take milliseconds before it fails, rather than hang
// when the workers do not do it.
constexpr std::chrono::seconds kPatience(5);

template <typename Future>
bool readyInTime(const Future& future) {
    return future.wait_for(kPatience) == std::future_status::ready;
}

std::unique_ptr<WorkOrder> orderOf(std::uint32_t connection) {
    auto order = std::make_unique<WorkOrder>();
    order->ticket = {connection, 1};
    return order;
}

}  // namespace

// A request that waits for the user gives the store up, and another worker serves the next
// request meanwhile; each finished request wakes the service loop.
TEST(StoreWorkers, ServeOthersWhileOneWaitsForTheUserAndWakeTheServiceLoop) {
    std::promise<void> atDialog, answered, otherServed;
    std::shared_future<void> answer = answered.get_future().share();
    std::mutex wakeMutex;
    std::condition_variable woken;
    int wakes = 0;

    StoreWorkers workers([&](WorkOrder& order, const StoreHandle& store) {
        if (order.ticket.slot == 1) {
            const DialogTurn turn = store.dialogTurn(nullptr);
            atDialog.set_value();
            // Bounded, so that the workers can stop even when the test failed.
            answer.wait_for(2 * kPatience);
        } else {
            otherServed.set_value();
        }
        return FinishedWork{order.ticket, std::nullopt};
    });
    workers.wakeWith([&] {
        const std::lock_guard<std::mutex> lock(wakeMutex);
        ++wakes;
        woken.notify_all();
    });

    workers.submit(orderOf(1));
    ASSERT_TRUE(readyInTime(atDialog.get_future()));
    workers.submit(orderOf(2));
    const bool served = readyInTime(otherServed.get_future());
    answered.set_value();
    EXPECT_TRUE(served) << "the next request waited for the one at the dialog";

    std::unique_lock<std::mutex> lock(wakeMutex);
    EXPECT_TRUE(woken.wait_for(lock, kPatience, [&] { return wakes == 2; }));
}

// Finished work reaches its connection only while that is open: a closed connection's slot,
// taken again by a new one, never receives the old connection's reply.
TEST(StoreWorkers, DeliverToOpenConnectionsOnly) {
    static std::vector<lws*> delivered;
    const DeliverWork record = [](lws* wsi, FinishedWork&) { delivered.push_back(wsi); };
    lws* const closed = reinterpret_cast<lws*>(0x10);
    lws* const open = reinterpret_cast<lws*>(0x20);
    ConnectionTickets tickets;
    ConnectionTicket gone = tickets.open(closed, record);
    const ConnectionTicket goneCopy = gone;
    tickets.close(gone);
    const ConnectionTicket kept = tickets.open(open, record);
    ASSERT_EQ(kept.slot, goneCopy.slot);

    std::promise<void> bothDone;
    int finished = 0;
    StoreWorkers workers([](WorkOrder& order, const StoreHandle&) {
        return FinishedWork{order.ticket, std::nullopt};
    });
    workers.wakeWith([&] {
        if (++finished == 2) bothDone.set_value();
    });
    for (const ConnectionTicket ticket : {goneCopy, kept}) {
        auto order = std::make_unique<WorkOrder>();
        order->ticket = ticket;
        workers.submit(std::move(order));
    }
    ASSERT_TRUE(readyInTime(bothDone.get_future()));
    workers.deliverFinished(tickets);
    EXPECT_EQ(delivered, std::vector<lws*>{open});
}
