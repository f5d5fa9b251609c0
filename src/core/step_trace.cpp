#include "core/step_trace.hpp"

#include "core/worker_pool.hpp"

#ifdef VANDU_TRACE_STEPS

#include <time.h>

#include <exception>
#include <string_view>

namespace vandu::step_trace {
namespace {

// The calling thread's CPU seconds: a shared machine's other processes preempt it, and a
// preempted task would look long.
double now() {
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

bool taking = false;
bool in_task = false;
Trace trace;
double last = 0.0;        // when the calling thread's serial part began
double task_start = 0.0;  // of the task under way
Step* current = nullptr;

// "vandu::Grower::masked_sums" of GCC's "vandu::NodeTargets vandu::Grower::masked_sums(...)".
std::string short_name(std::string_view f) {
    const std::size_t open = f.find('(');
    if (open != std::string_view::npos) f = f.substr(0, open);
    const std::size_t space = f.rfind(' ');
    if (space != std::string_view::npos) f = f.substr(space + 1);
    return std::string(f);
}

std::string site_name(const std::source_location& site) {
    std::string_view file = site.file_name();
    const std::size_t src = file.rfind("src/");
    if (src != std::string_view::npos) file = file.substr(src + 4);
    return short_name(site.function_name()) + " " + std::string(file) + ":" + std::to_string(site.line());
}

}  // namespace

void start(std::size_t team) {
    trace = Trace{};
    trace.team = team ? team : 1;
    taking = true;
    in_task = false;
    last = now();
}

Trace stop() {
    trace.serial_after = now() - last;
    taking = false;
    return std::move(trace);
}

bool active() { return taking; }

std::size_t team() { return in_task ? 1 : trace.team; }

void run(std::size_t count, const std::function<void(std::size_t)>& task, const std::source_location& site) {
    if (in_task) {
        // Part of the task that started it.
        run_each(count, task);
        return;
    }
    Step step;
    double at = now();
    step.serial_before = at - last;
    step.tasks.reserve(count);
    std::exception_ptr first;
    in_task = true;
    current = &step;
    for (std::size_t i = 0; i < count; ++i) {
        task_start = at;
        try {
            task(i);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
        at = now();
        step.tasks.push_back(at - task_start);
    }
    in_task = false;
    current = nullptr;
    step.site = site_name(site);
    trace.steps.push_back(std::move(step));
    last = now();
    if (first) std::rethrow_exception(first);
}

void task_boundary() {
    if (!taking || !in_task || !current) return;
    const double t = now();
    current->tasks.push_back(t - task_start);
    task_start = t;
}

}  // namespace vandu::step_trace

#endif
