// Stopping a long call early when its host asks.
//
// The host installs a poll on its calling thread for the duration of a call. Long-running
// code calls check_interrupt() at points where unwinding is safe: on the thread with the
// poll it asks the poll, at most once per interrupt_poll_interval; once the poll has said
// stop, that thread and every other one (pool workers included) throws Interrupted at its
// next check. Workers only read the flag, they never call the poll.
#pragma once

#include <chrono>
#include <exception>

namespace vandu {

// Unwinds a call its host asked to stop; the host keeps the reason itself.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Asked on the calling thread; true when the call should stop. Must not throw.
using InterruptPoll = bool (*)(void* context) noexcept;

inline constexpr std::chrono::milliseconds interrupt_poll_interval{100};

// Installs `poll` on this thread until destroyed, when the one before it (if any) comes
// back. A stop requested during the scope ends with it.
class InterruptScope {
public:
    InterruptScope(InterruptPoll poll, void* context) noexcept;
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

private:
    InterruptPoll previous_poll_;
    void* previous_context_;
    std::chrono::steady_clock::time_point previous_due_;
    bool previous_stop_;
};

// Throws Interrupted once a stop was requested, asking this thread's poll first when due.
void check_interrupt();

// The same without unwinding, for waits that must finish first: true once a stop was
// requested.
bool poll_interrupt() noexcept;

// True on a thread with a poll installed.
bool interrupt_poll_installed() noexcept;

}  // namespace vandu
