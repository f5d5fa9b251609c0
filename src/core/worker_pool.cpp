#include "core/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <string>
#include <thread>

#include "core/failure.hpp"
#include "core/interrupt.hpp"
#include "core/step_trace.hpp"

namespace vandu {

namespace {

thread_local bool is_pool_thread = false;
// Set while this thread waits for its step: host code run by the interrupt poll may start
// steps of its own, which then run inline.
thread_local bool waiting_for_step = false;

class Pool {
public:
    explicit Pool(std::size_t threads) {
        // Workers read threads_ under the lock: they start once every thread exists.
        std::lock_guard<std::mutex> lock(mutex_);
        for (std::size_t i = 0; i < threads; ++i) {
            try {
                std::thread([this, i] { work(i); }).detach();
                ++threads_;
            } catch (const std::system_error&) {
                break;  // run with the threads we got; none at all means inline steps
            }
        }
    }

    std::size_t threads() const { return threads_; }

    // `team`: the caller takes tasks too, and only threads - 1 workers join, so the step
    // uses one thread per processor; workers that joined spin a little before sleeping,
    // since a team step is usually followed by another within microseconds.
    // False, running nothing, while another thread's step is under way: that thread may be
    // running host code from its interrupt poll, which can need a lock our caller holds.
    bool run(std::size_t count, const std::function<void(std::size_t)>& task, bool team) {
        std::unique_lock<std::mutex> one_step_at_a_time(step_mutex_, std::try_to_lock);
        if (!one_step_at_a_time) return false;
        std::vector<std::exception_ptr> failures(count);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            task_ = &task;
            failures_ = &failures;
            count_ = count;
            next_ = 0;
            unfinished_.store(count, std::memory_order_relaxed);
            joining_ = team ? threads_ - 1 : threads_;
            ++step_;
            published_step_.store(step_, std::memory_order_release);
        }
        // A team step need not wake the worker that stays out of it.
        if ((team ? sleeping_joiners_ : sleeping_).load(std::memory_order_acquire) > 0)
            work_ready_.notify_all();
        if (team) {
            // Steps started from the caller's tasks run inline, as from any pool task.
            is_pool_thread = true;
            std::unique_lock<std::mutex> lock(mutex_);
            take_tasks(lock);
            lock.unlock();
            is_pool_thread = false;
            for (int spin = 0; spin < spin_rounds && unfinished_.load(std::memory_order_acquire) != 0;
                 ++spin)
                pause();
        }
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wait_for_step(lock);
            task_ = nullptr;
            failures_ = nullptr;
        }
        for (auto& failure : failures)
            if (failure) std::rethrow_exception(failure);
        check_interrupt();  // tasks that never check still end the step early
        return true;
    }

private:
    static constexpr int spin_rounds = 1 << 12;  // about a tenth of a millisecond

    static void pause() {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }

    // Runs tasks of the current step until none is left; `lock` holds mutex_.
    void take_tasks(std::unique_lock<std::mutex>& lock) {
        while (next_ < count_) {
            const std::size_t i = next_++;
            const auto* task = task_;
            auto* failures = failures_;
            lock.unlock();
            try {
                (*task)(i);
            } catch (...) {
                (*failures)[i] = std::current_exception();
            }
            lock.lock();
            if (unfinished_.fetch_sub(1, std::memory_order_acq_rel) == 1) step_done_.notify_all();
        }
    }

    // Until every task has finished; a caller with an interrupt poll asks it meanwhile, so
    // that a stop reaches the tasks at their next check.
    void wait_for_step(std::unique_lock<std::mutex>& lock) {
        const auto finished = [&] { return unfinished_.load(std::memory_order_relaxed) == 0; };
        if (!interrupt_poll_installed()) {
            step_done_.wait(lock, finished);
            return;
        }
        waiting_for_step = true;
        while (!step_done_.wait_for(lock, interrupt_poll_interval, finished)) {
            lock.unlock();
            poll_interrupt();
            lock.lock();
        }
        waiting_for_step = false;
    }

    void work(std::size_t index) {
        is_pool_thread = true;
        set_thread_label("worker " + std::to_string(index));
        std::uint64_t seen_step = 0;
        bool spin = false;
        for (;;) {
            if (spin) {
                for (int i = 0; i < spin_rounds; ++i) {
                    if (published_step_.load(std::memory_order_acquire) != seen_step) break;
                    pause();
                }
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (step_ == seen_step) {
                const bool joiner = index + 1 < threads_;
                sleeping_.fetch_add(1, std::memory_order_acq_rel);
                if (joiner) sleeping_joiners_.fetch_add(1, std::memory_order_acq_rel);
                work_ready_.wait(lock, [&] { return step_ != seen_step; });
                if (joiner) sleeping_joiners_.fetch_sub(1, std::memory_order_acq_rel);
                sleeping_.fetch_sub(1, std::memory_order_acq_rel);
            }
            seen_step = step_;
            spin = false;
            if (index >= joining_ || next_ >= count_) continue;
            spin = joining_ < threads_;
            take_tasks(lock);
        }
    }

    std::mutex step_mutex_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable step_done_;
    const std::function<void(std::size_t)>* task_ = nullptr;
    std::vector<std::exception_ptr>* failures_ = nullptr;
    std::size_t count_ = 0;
    std::size_t next_ = 0;
    std::atomic<std::size_t> unfinished_{0};
    std::size_t joining_ = 0;  // workers with a lower index take part in the step
    std::uint64_t step_ = 0;
    std::atomic<std::uint64_t> published_step_{0};
    std::atomic<std::size_t> sleeping_{0};
    std::atomic<std::size_t> sleeping_joiners_{0};  // of the workers that join team steps
    std::size_t threads_ = 0;
};

std::mutex pool_mutex;
Pool* pool = nullptr;  // never destroyed: its threads live until the process ends

// The child of a fork has none of the pool's threads, and the pool's locks may have
// been copied in a held state: forget the pool (and reset the lock guarding it) so
// that the next step starts a new one.
void forget_pool_in_child() {
    pool = nullptr;
    new (&pool_mutex) std::mutex();
}

const bool fork_handler_installed = [] {
    pthread_atfork(nullptr, nullptr, forget_pool_in_child);
    return true;
}();

Pool& the_pool() {
    (void)fork_handler_installed;
    std::lock_guard<std::mutex> lock(pool_mutex);
    if (!pool) pool = new Pool(available_processors());
    return *pool;
}

}  // namespace

std::size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int n = CPU_COUNT(&set);
        if (n > 0) return static_cast<std::size_t>(n);
    }
    const unsigned n = std::thread::hardware_concurrency();
    return n ? n : 1;
}

std::size_t pool_thread_count() { return std::max<std::size_t>(the_pool().threads(), 1); }

bool on_pool_thread() { return is_pool_thread; }

namespace {

void run_step(std::size_t count, const std::function<void(std::size_t)>& task, bool team) {
    if (count == 0) return;
    Pool* p = on_pool_thread() || waiting_for_step ? nullptr : &the_pool();
    if (p && p->threads() > (team ? 1 : 0) && count > 1 && p->run(count, task, team)) return;
    run_each(count, task);
}

}  // namespace

void run_each(std::size_t count, const std::function<void(std::size_t)>& task) {
    std::exception_ptr first;
    for (std::size_t i = 0; i < count; ++i) {
        try {
            task(i);
        } catch (...) {
            if (!first) first = std::current_exception();
        }
    }
    if (first) std::rethrow_exception(first);
}

void parallel_for(std::size_t count, const std::function<void(std::size_t)>& task) {
    run_step(count, task, false);
}

std::size_t team_size() {
#ifdef VANDU_TRACE_STEPS
    if (step_trace::active()) return step_trace::team();
#endif
    return on_pool_thread() || waiting_for_step ? 1 : pool_thread_count();
}

void parallel_team(std::size_t count, const std::function<void(std::size_t)>& task VANDU_STEP_SITE_PARAM) {
#ifdef VANDU_TRACE_STEPS
    if (step_trace::active()) return step_trace::run(count, task, site);
#endif
    run_step(count, task, true);
}

}  // namespace vandu
