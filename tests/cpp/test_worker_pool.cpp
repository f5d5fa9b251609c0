#include "core/worker_pool.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <mutex>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/failure.hpp"

namespace vandu {
namespace {

// Work of a varying length, so tasks finish in a varying order.
double spin(std::uint64_t rounds) {
    volatile double acc = 0.0;
    for (std::uint64_t i = 0; i < rounds; ++i) acc = acc + std::sqrt(static_cast<double>(i));
    return acc;
}

// Both kinds of step keep the same contract: ordinary steps, and team steps in which the
// caller takes tasks too and the workers wait spinning for the next one.
using Step = void (*)(std::size_t, const std::function<void(std::size_t)>&);

class WorkerPool : public ::testing::TestWithParam<Step> {};

INSTANTIATE_TEST_SUITE_P(Steps, WorkerPool, ::testing::Values(&parallel_for, &parallel_team),
                         [](const auto& info) {
                             return std::string(info.param == &parallel_for ? "Ordinary" : "Team");
                         });

TEST_P(WorkerPool, EveryTaskRunsOnce) {
    const Step step = GetParam();
    for (std::size_t count : {1u, 2u, 3u, 17u, 200u}) {
        std::vector<std::atomic<int>> runs(count);
        step(count, [&](std::size_t i) { runs[i].fetch_add(1); });
        for (std::size_t i = 0; i < count; ++i) EXPECT_EQ(runs[i].load(), 1) << count << " " << i;
    }
    step(0, [](std::size_t) { FAIL() << "no task expected"; });
}

// Tasks fail at random points, many times over: the first failure by task number arrives
// intact, only after every task has finished, and the pool stays usable.
TEST_P(WorkerPool, FailuresArriveAfterAllTasksFinished) {
    const Step step = GetParam();
    std::mt19937_64 gen(1);
    for (int round = 0; round < 300; ++round) {
        const std::size_t count = 1 + gen() % 24;
        std::vector<int> fails(count);
        std::vector<std::uint64_t> work(count);
        for (std::size_t i = 0; i < count; ++i) {
            fails[i] = gen() % 4 == 0 ? static_cast<int>(1 + gen() % 2) : 0;
            work[i] = gen() % 2000;
        }
        std::atomic<std::size_t> finished{0};
        std::size_t finished_when_caught = 0;
        std::string caught;
        try {
            // Every other round the other kind of step comes first: workers then start
            // this one from sleeping or from spinning.
            if (round % 2) (step == &parallel_for ? parallel_team : parallel_for)(2, [](std::size_t) {});
            step(count, [&](std::size_t i) {
                spin(work[i]);
                finished.fetch_add(1);
                if (fails[i] == 1) throw InternalFailure("task " + std::to_string(i));
                if (fails[i] == 2) throw std::bad_alloc();
            });
        } catch (const InternalFailure& e) {
            finished_when_caught = finished.load();
            caught = e.what();
        } catch (const std::bad_alloc&) {
            finished_when_caught = finished.load();
            caught = "bad_alloc";
        }
        const auto first = std::find_if(fails.begin(), fails.end(), [](int f) { return f != 0; });
        if (first == fails.end()) {
            EXPECT_TRUE(caught.empty());
            EXPECT_EQ(finished.load(), count);
            continue;
        }
        const auto index = static_cast<std::size_t>(first - fails.begin());
        EXPECT_EQ(caught, *first == 1 ? "task " + std::to_string(index) : "bad_alloc") << round;
        EXPECT_EQ(finished_when_caught, count) << round;
    }
    std::atomic<int> sum{0};
    step(10, [&](std::size_t i) { sum.fetch_add(static_cast<int>(i)); });
    EXPECT_EQ(sum.load(), 45);
}

TEST_P(WorkerPool, NestedStepsRunInline) {
    const Step step = GetParam();
    const std::size_t outer = 2 * pool_thread_count() + 1;
    std::vector<int> inline_ok(outer, 0);
    std::vector<std::size_t> inner_runs(outer, 0);
    step(outer, [&](std::size_t i) {
        const auto me = std::this_thread::get_id();
        bool same_thread = true;
        std::size_t runs = 0;  // written by this task alone, so inline steps need no lock
        step(8, [&](std::size_t) {
            same_thread = same_thread && std::this_thread::get_id() == me;
            ++runs;
        });
        inline_ok[i] = same_thread;
        inner_runs[i] = runs;
    });
    for (std::size_t i = 0; i < outer; ++i) {
        EXPECT_TRUE(inline_ok[i]) << i;
        EXPECT_EQ(inner_runs[i], 8u) << i;
    }
}

TEST(WorkerPool, NestedFailureReachesTheOuterCaller) {
    try {
        parallel_for(4, [&](std::size_t i) {
            parallel_for(3, [&](std::size_t j) {
                if (i == 2 && j == 1) throw InternalFailure("inner");
            });
        });
        FAIL() << "expected a failure";
    } catch (const InternalFailure& e) {
        EXPECT_STREQ(e.what(), "inner");
    }
}

// A source that hands out 0 .. n-1 in order.
struct Counter {
    std::size_t* next;
    std::size_t n;
    std::optional<std::size_t> operator()() const {
        if (*next == n) return std::nullopt;
        return (*next)++;
    }
};

TEST(ParArgminByScore, DistinctScoresGiveTheUniqueMinimum) {
    std::mt19937_64 gen(2);
    for (int round = 0; round < 100; ++round) {
        const std::size_t n = 1 + gen() % 40;
        std::vector<double> scores(n);
        std::iota(scores.begin(), scores.end(), -5.0);
        std::shuffle(scores.begin(), scores.end(), gen);
        const std::size_t best = static_cast<std::size_t>(std::min_element(scores.begin(), scores.end()) - scores.begin());
        std::size_t next = 0;
        std::vector<std::atomic<int>> evaluated(n);
        auto result = par_argmin_by_score(Counter{&next, n}, [&](std::size_t i) {
            evaluated[i].fetch_add(1);
            spin(i * 37 % 500);
            return Scored<std::size_t>{scores[i], i};
        });
        ASSERT_TRUE(result.has_value());
        EXPECT_EQ(result->payload, best) << round;
        EXPECT_EQ(result->score, scores[best]);
        for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(evaluated[i].load(), 1) << i;
    }
}

TEST(ParArgminByScore, EqualScoresGiveOneOfTheMinima) {
    const std::vector<double> scores{3.0, 1.0, 2.0, 1.0, 1.0, 5.0};
    std::size_t next = 0;
    auto result = par_argmin_by_score(Counter{&next, scores.size()},
                                      [&](std::size_t i) { return Scored<std::size_t>{scores[i], i}; });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->score, 1.0);
    EXPECT_EQ(scores[result->payload], 1.0);
}

TEST(ParArgminByScore, EmptySourceGivesNothing) {
    std::size_t next = 0;
    auto result = par_argmin_by_score(Counter{&next, 0}, [](std::size_t i) {
        ADD_FAILURE() << "nothing to evaluate";
        return Scored<std::size_t>{0.0, i};
    });
    EXPECT_FALSE(result.has_value());
}

TEST(ParArgminByScore, NaNScoresFail) {
    const double nan = std::nan("");
    for (std::size_t at : {0u, 3u, 11u}) {
        std::size_t next = 0;
        try {
            par_argmin_by_score(Counter{&next, 12}, [&](std::size_t i) {
                return Scored<std::size_t>{i == at ? nan : static_cast<double>(i), i};
            });
            ADD_FAILURE() << "expected a failure, NaN at " << at;
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), "called `Option::unwrap()` on a `None` value");
        }
    }
    // A lone candidate meets no comparison.
    std::size_t next = 0;
    auto lone = par_argmin_by_score(Counter{&next, 1},
                                    [&](std::size_t i) { return Scored<std::size_t>{nan, i}; });
    ASSERT_TRUE(lone.has_value());
    EXPECT_TRUE(std::isnan(lone->score));
}

TEST(ParArgminByScore, EvaluationFailureArrivesAndThePoolKeepsWorking) {
    for (int round = 0; round < 50; ++round) {
        std::size_t next = 0;
        std::atomic<int> running{0};
        std::atomic<int> max_after_failure{0};
        try {
            par_argmin_by_score(Counter{&next, 12}, [&](std::size_t i) {
                running.fetch_add(1);
                spin(i * 50);
                running.fetch_sub(1);
                if (i == static_cast<std::size_t>(round % 12)) throw InternalFailure("scoring failed");
                return Scored<std::size_t>{static_cast<double>(i), i};
            });
            ADD_FAILURE() << "expected a failure";
        } catch (const InternalFailure& e) {
            EXPECT_STREQ(e.what(), "scoring failed");
            max_after_failure = running.load();
        }
        EXPECT_EQ(max_after_failure.load(), 0);  // no evaluation still running
    }
    std::size_t next = 0;
    auto result = par_argmin_by_score(Counter{&next, 5}, [](std::size_t i) {
        return Scored<std::size_t>{10.0 - static_cast<double>(i), i};
    });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->payload, 4u);
}

TEST(ParArgminByScore, NestedInAPoolTaskRunsInline) {
    std::vector<std::size_t> chosen(6, 99);
    parallel_for(chosen.size(), [&](std::size_t t) {
        std::size_t next = 0;
        auto r = par_argmin_by_score(Counter{&next, 9}, [&](std::size_t i) {
            return Scored<std::size_t>{std::fabs(static_cast<double>(i) - static_cast<double>(t)), i};
        });
        chosen[t] = r ? r->payload : 100;
    });
    for (std::size_t t = 0; t < chosen.size(); ++t) EXPECT_EQ(chosen[t], t);
}

}  // namespace
}  // namespace vandu
