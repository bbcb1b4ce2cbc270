#include "support/dialog_turns.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

using namespace quillmark;

namespace {

// A request on a thread of its own that holds the work lock and waits for a dialog turn; it
// keeps the turn, when granted, until it is let go.
class WaitingRequest {
  public:
    WaitingRequest(DialogLine& line, std::mutex& work, std::uint64_t arrival)
        : abandoned_(std::make_shared<std::atomic<bool>>()) {
        thread_ = std::thread([this, &line, &work, arrival] {
            std::unique_lock<std::mutex> lock(work);
            const RequestScope scope(line, arrival, abandoned_, lock,
                                     [this] { waiting_.set_value(); });
            const DialogTurn turn(&scope, [this] { closed_.set_value(); });
            granted_.set_value(turn.granted());
            letGo_.get_future().wait();
        });
    }
    ~WaitingRequest() {
        letGo();
        thread_.join();
    }

    void waitUntilWaiting() { waiting_.get_future().wait(); }
    std::future<bool> granted() { return granted_.get_future(); }
    std::future<void> closed() { return closed_.get_future(); }
    void letGo() {
        if (!letGoSet_.exchange(true)) letGo_.set_value();
    }
    const AbandonFlag& flag() const { return abandoned_; }

  private:
    AbandonFlag abandoned_;
    std::promise<void> waiting_, closed_, letGo_;
    std::promise<bool> granted_;
    std::atomic<bool> letGoSet_{false};
    std::thread thread_;
};

}  // namespace

TEST(DialogTurns, OneAtATimeInArrivalOrderWithTheWorkLockGivenUp) {
    DialogLine line;
    std::mutex work;
    WaitingRequest first(line, work, 1);
    std::future<bool> firstGranted = first.granted();
    ASSERT_TRUE(firstGranted.get());
    ASSERT_TRUE(work.try_lock()) << "the turn's holder still holds the work lock";
    work.unlock();

    WaitingRequest second(line, work, 2);
    std::future<bool> secondGranted = second.granted();
    second.waitUntilWaiting();
    EXPECT_EQ(line.atDialogs(), 2);
    EXPECT_NE(secondGranted.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    first.letGo();
    EXPECT_TRUE(secondGranted.get());
}

// The turn goes by arrival, not by who joined the line first: a request that arrived later but
// reached its dialog sooner (its store work was shorter) still waits for the earlier one.
TEST(DialogTurns, AnEarlierArrivalGoesFirstWhateverTheOrderTheyJoinedIn) {
    constexpr std::chrono::seconds kPatience(5);
    DialogLine line;
    std::mutex work;
    WaitingRequest shown(line, work, 1);
    std::future<bool> shownGranted = shown.granted();
    ASSERT_TRUE(shownGranted.get());
    WaitingRequest later(line, work, 3);
    std::future<bool> laterGranted = later.granted();
    later.waitUntilWaiting();
    // Time for it to take its place in the line: a line in joining order would then fail.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    WaitingRequest earlier(line, work, 2);
    std::future<bool> earlierGranted = earlier.granted();
    earlier.waitUntilWaiting();

    shown.letGo();
    ASSERT_EQ(earlierGranted.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(earlierGranted.get());
    EXPECT_EQ(laterGranted.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
    earlier.letGo();
    ASSERT_EQ(laterGranted.wait_for(kPatience), std::future_status::ready);
    EXPECT_TRUE(laterGranted.get());
}

TEST(DialogTurns, AbandonClosesTheDialogShownAndStopGrantsNoMore) {
    DialogLine line;
    std::mutex work;
    WaitingRequest shown(line, work, 1);
    std::future<bool> shownGranted = shown.granted();
    std::future<void> closed = shown.closed();
    ASSERT_TRUE(shownGranted.get());
    WaitingRequest waiting(line, work, 2);
    std::future<bool> waitingGranted = waiting.granted();
    waiting.waitUntilWaiting();

    line.abandon(1, shown.flag());
    closed.wait();
    EXPECT_TRUE(shown.flag()->load());
    line.stop();
    shown.letGo();
    EXPECT_FALSE(waitingGranted.get());
}

TEST(DialogTurns, WithoutARequestTheTurnIsGrantedAtOnce) {
    EXPECT_TRUE(DialogTurn(nullptr, nullptr).granted());
}
