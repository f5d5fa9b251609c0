// The process-wide fork-join worker pool.
//
// One thread per processor the process may run on, started at the first parallel
// step. A step blocks its caller until every task has finished and only then rethrows
// the failure of the lowest-numbered failed task. A step started from a pool thread
// runs inline, so steps never deadlock by nesting; so does a step started while another
// thread's step is under way. A caller with an interrupt poll (core/interrupt.hpp) asks it
// while it waits, and a requested stop ends the step with Interrupted once every task has
// returned. A process forked after the pool started gets a fresh pool at its next step.
#pragma once

#include <sched.h>

#include <atomic>
#include <cstddef>
#include <functional>
#include <optional>
#include <vector>
#ifdef VANDU_TRACE_STEPS
#include <source_location>
#endif

#include "core/failure.hpp"
#include "core/numerics.hpp"

namespace vandu {

// Processors in this process's affinity mask (at least 1).
std::size_t available_processors();

// Number of pool threads (starts the pool if needed).
std::size_t pool_thread_count();

// True on a pool worker thread.
bool on_pool_thread();

// Runs every task on the calling thread, in order; the first failure is rethrown once all have run.
void run_each(std::size_t count, const std::function<void(std::size_t)>& task);

// Runs task(i) for every i in [0, count) on the pool.
void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task);

// Threads a team step runs on: the caller and all but one pool thread (1 on a pool thread).
std::size_t team_size();

// A build with the step trace names each team step by where it is started; others pass nothing.
#ifdef VANDU_TRACE_STEPS
#define VANDU_STEP_SITE , std::source_location site = std::source_location::current()
#define VANDU_STEP_SITE_ARG , site
#define VANDU_STEP_SITE_PARAM , std::source_location site
#else
#define VANDU_STEP_SITE
#define VANDU_STEP_SITE_ARG
#define VANDU_STEP_SITE_PARAM
#endif

// Like parallel_for, for short steps in quick succession: the calling thread runs tasks
// too, and the workers that took part wait for the next step spinning rather than sleeping.
void parallel_team(std::size_t count, const std::function<void(std::size_t)>& task VANDU_STEP_SITE);

// Runs body(begin, end) over one chunk of [0, n) per team thread and returns true, or
// returns false without running anything when n is too small to be worth a team step.
template <class Body>
bool in_team_chunks(std::size_t n, std::size_t min_n, Body&& body VANDU_STEP_SITE) {
    const std::size_t team = n >= min_n ? team_size() : 1;
    if (team < 2) return false;
    parallel_team(team, [&](std::size_t t) { body(n * t / team, n * (t + 1) / team); } VANDU_STEP_SITE_ARG);
    return true;
}

// Runs body(begin, end) over [0, n), in team chunks from min_n on. When a chunk fails with
// an internal failure, `restart()` and one call over all of [0, n) follow, so that the
// failure reported is the one a single pass meets first.
template <class Body, class Restart>
void in_chunks_failing_in_order(std::size_t n, std::size_t min_n, Body&& body, Restart&& restart VANDU_STEP_SITE) {
    bool chunked = false;
    try {
        chunked = in_team_chunks(n, min_n, body VANDU_STEP_SITE_ARG);
    } catch (const InternalFailure&) {
        restart();
        body(0, n);
        throw;
    }
    if (!chunked) body(0, n);
}

// Evaluates items drawn one at a time from `next_item` (a callable returning
// std::optional<Item>, called under a lock) concurrently on the pool, and returns a
// candidate of minimum score. Each task keeps a running best in the order it got its
// items; partial results are combined left to right, the left one winning unless its
// score compares greater. Which of several equal minima wins is not fixed.
template <class Source, class Evaluate>
auto par_argmin_by_score(Source next_item, Evaluate evaluate) {
    using Item = typename std::decay_t<decltype(next_item())>::value_type;
    using Candidate = std::decay_t<decltype(evaluate(std::declval<Item&>()))>;
    using Payload = decltype(std::declval<Candidate>().payload);

    const std::size_t tasks = on_pool_thread() ? 1 : pool_thread_count() + 1;
    std::atomic_flag source_lock = ATOMIC_FLAG_INIT;
    std::atomic<bool> stop{false};
    std::vector<ArgminByScore<Payload>> partial(tasks);

    parallel_for(tasks, [&](std::size_t t) {
        for (;;) {
            while (source_lock.test_and_set(std::memory_order_acquire)) sched_yield();
            std::optional<Item> item;
            try {
                if (!stop.load(std::memory_order_relaxed)) item = next_item();
            } catch (...) {
                source_lock.clear(std::memory_order_release);
                throw;
            }
            source_lock.clear(std::memory_order_release);
            if (!item) return;
            try {
                partial[t].offer(evaluate(*item));
            } catch (...) {
                // The step fails anyway; hand out nothing more.
                stop.store(true, std::memory_order_relaxed);
                throw;
            }
        }
    });

    ArgminByScore<Payload> combined;
    for (auto& p : partial)
        if (p.result()) combined.offer(std::move(*p.result()));
    return std::move(combined.result());
}

}  // namespace vandu
