#include "core/interrupt.hpp"

#include <atomic>

namespace vandu {

namespace {

using Clock = std::chrono::steady_clock;

// One flag for the process: the host runs one call at a time, and the pool's tasks of
// that call have no other way to learn of the stop.
std::atomic<bool> stop_requested{false};

struct InstalledPoll {
    InterruptPoll poll = nullptr;
    void* context = nullptr;
    Clock::time_point due{};
};
thread_local InstalledPoll installed;

}  // namespace

InterruptScope::InterruptScope(InterruptPoll poll, void* context) noexcept
    : previous_poll_(installed.poll),
      previous_context_(installed.context),
      previous_due_(installed.due),
      previous_stop_(stop_requested.exchange(false, std::memory_order_relaxed)) {
    installed = {poll, context, Clock::now() + interrupt_poll_interval};
}

InterruptScope::~InterruptScope() {
    installed = {previous_poll_, previous_context_, previous_due_};
    stop_requested.store(previous_stop_, std::memory_order_relaxed);
}

bool poll_interrupt() noexcept {
    if (stop_requested.load(std::memory_order_relaxed)) return true;
    InstalledPoll& here = installed;
    if (!here.poll) return false;
    const Clock::time_point now = Clock::now();
    if (now < here.due) return false;
    // Set before asking: the poll may run host code that re-enters this module.
    here.due = now + interrupt_poll_interval;
    if (!here.poll(here.context)) return false;
    stop_requested.store(true, std::memory_order_relaxed);
    return true;
}

void check_interrupt() {
    if (poll_interrupt()) throw Interrupted();
}

bool interrupt_poll_installed() noexcept { return installed.poll != nullptr; }

}  // namespace vandu
