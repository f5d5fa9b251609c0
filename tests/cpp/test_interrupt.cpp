#include "core/interrupt.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "core/worker_pool.hpp"

namespace vandu {
namespace {

// Says stop from its `stop_at`-th call on, counting the calls.
struct CountingPoll {
    int stop_at;
    int calls = 0;
    static bool poll(void* self) noexcept {
        auto& p = *static_cast<CountingPoll*>(self);
        return ++p.calls >= p.stop_at;
    }
};

void spin_until_interrupted() {
    for (;;) check_interrupt();
}

TEST(Interrupt, WithoutAPollNothingStops) {
    EXPECT_FALSE(interrupt_poll_installed());
    EXPECT_FALSE(poll_interrupt());
    EXPECT_NO_THROW(check_interrupt());
}

TEST(Interrupt, ThePollIsAskedWhenDueAndItsStopHoldsUntilTheScopeEnds) {
    CountingPoll poll{2};
    {
        InterruptScope scope(CountingPoll::poll, &poll);
        EXPECT_TRUE(interrupt_poll_installed());
        EXPECT_THROW(spin_until_interrupted(), Interrupted);
        EXPECT_EQ(poll.calls, 2);
        // Once stopped, every check stops without asking again.
        EXPECT_THROW(check_interrupt(), Interrupted);
        EXPECT_EQ(poll.calls, 2);
    }
    EXPECT_FALSE(interrupt_poll_installed());
    EXPECT_NO_THROW(check_interrupt());
}

TEST(Interrupt, PoolTasksStopAtTheirNextCheckAndThePoolStaysUsable) {
    for (int round = 0; round < 3; ++round) {
        CountingPoll poll{1};
        InterruptScope scope(CountingPoll::poll, &poll);
        // Workers never ask the poll: only the waiting caller can stop them.
        EXPECT_THROW(parallel_for(pool_thread_count() * 2, [](std::size_t) { spin_until_interrupted(); }),
                     Interrupted);
    }
    std::atomic<int> runs{0};
    parallel_for(16, [&](std::size_t) {
        check_interrupt();
        runs.fetch_add(1);
    });
    EXPECT_EQ(runs.load(), 16);
}

TEST(Interrupt, AStepWhoseTasksNeverCheckStillEndsInterrupted) {
    CountingPoll poll{1};
    InterruptScope scope(CountingPoll::poll, &poll);
    std::atomic<int> runs{0};
    EXPECT_THROW(parallel_for(4,
                              [&](std::size_t) {
                                  std::this_thread::sleep_for(2 * interrupt_poll_interval);
                                  runs.fetch_add(1);
                              }),
                 Interrupted);
    EXPECT_EQ(runs.load(), 4);  // every task ran to its end first
}

// What a host does from its poll: run code that starts steps of its own, on this thread or
// on another one that the poll then waits for. Neither may wait for the step under way.
struct SteppingPoll {
    bool other_thread;
    int calls = 0;
    std::atomic<int> nested_runs{0};
    static bool poll(void* self) noexcept {
        auto& p = *static_cast<SteppingPoll*>(self);
        if (++p.calls > 1) return true;
        const auto step = [&p] { parallel_for(8, [&p](std::size_t) { p.nested_runs.fetch_add(1); }); };
        if (p.other_thread) std::thread(step).join();
        else step();
        return false;
    }
};

TEST(Interrupt, StepsStartedFromThePollRunInline) {
    for (bool other_thread : {false, true}) {
        SteppingPoll poll{other_thread};
        InterruptScope scope(SteppingPoll::poll, &poll);
        EXPECT_THROW(parallel_for(pool_thread_count() + 1, [](std::size_t) { spin_until_interrupted(); }),
                     Interrupted);
        EXPECT_EQ(poll.nested_runs.load(), 8) << other_thread;
    }
}

}  // namespace
}  // namespace vandu
