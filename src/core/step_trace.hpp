// The step trace of a build with VANDU_TRACE_STEPS (off by default; nothing of it is in
// other builds): while a trace is taken, every team step runs on the calling thread, its
// tasks one after another as if the team had `team` threads, and the trace notes each
// task's seconds, the step's site and the calling thread's seconds between steps (the
// thread's CPU seconds). Steps run in sequence and a step's tasks could run at once, so
// the trace is what a schedule onto any number of cores needs (bench/span.py). Steps
// started inside a task run inline and count as the task's. One thread takes a trace at
// a time.
#pragma once

#ifdef VANDU_TRACE_STEPS

#include <cstddef>
#include <functional>
#include <source_location>
#include <string>
#include <vector>

namespace vandu::step_trace {

struct Step {
    std::string site;            // the function that started it, and its file and line
    double serial_before = 0.0;  // the calling thread's seconds since the previous step
    std::vector<double> tasks;   // seconds, by task
};

struct Trace {
    std::size_t team = 1;
    std::vector<Step> steps;
    double serial_after = 0.0;  // since the last step
};

// Starts a trace; team steps are cut for `team` threads (at least 1).
void start(std::size_t team);
// Ends the trace and returns it.
Trace stop();

// While a trace is taken: the team size steps see (1 inside a task), and false outside.
bool active();
std::size_t team();
// Runs a team step under the trace.
void run(std::size_t count, const std::function<void(std::size_t)>& task, const std::source_location& site);

// Within a task that takes work items from a shared queue: ends a task of the trace here,
// so that each item is a task of its own (on one thread the first task takes them all).
void task_boundary();

}  // namespace vandu::step_trace

#else

namespace vandu::step_trace {
inline void task_boundary() {}
}  // namespace vandu::step_trace

#endif
