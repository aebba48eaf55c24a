// The worker pool: every index of a job run once, on any number of threads, and a job stopped on
// request, as Ctrl-C stops a long call from Python.
#include "game/worker_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <thread>
#include <vector>


namespace game {
namespace {

using namespace std::chrono_literals;

// Says to stop from its `stop_at`-th ask on (never when 0), and records who asked.
class CountingCheck final : public StopCheck {
public:
    explicit CountingCheck(std::size_t stop_at) : stop_at_(stop_at) {}

    bool stop_requested() noexcept override {
        askers.push_back(std::this_thread::get_id());
        return stop_at_ != 0 && askers.size() >= stop_at_;
    }

    std::vector<std::thread::id> askers;

private:
    std::size_t stop_at_;
};

// How many times each index of a job ran.
struct Hits {
    explicit Hits(std::size_t count) : counts(count) {}

    void record(std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) counts[i].fetch_add(1);
    }
    std::size_t ran() const {
        std::size_t total = 0;
        for (const auto& c : counts) {
            EXPECT_LE(c.load(), 1) << "an index ran twice";
            total += static_cast<std::size_t>(c.load());
        }
        return total;
    }

    std::vector<std::atomic<int>> counts;
};

TEST(WorkerPoolInterruptTest, StopsBetweenIndicesAndSaysHowManyRan) {
    for (const std::size_t threads : {1, 2, 3}) {
        WorkerPool pool(threads);
        CountingCheck check(2);
        pool.stop_when(&check);
        // Several seconds of work on any number of threads: the stop must come long before.
        constexpr std::size_t COUNT = 20000;
        Hits hits(COUNT);
        try {
            pool.run(COUNT, [&](std::size_t begin, std::size_t end) {
                EXPECT_EQ(end, begin + 1) << "a watched job runs one index at a time";
                std::this_thread::sleep_for(500us);
                hits.record(begin, end);
            });
            ADD_FAILURE() << threads << " threads: the job was not stopped";
        } catch (const Interrupted& stop) {
            EXPECT_EQ(stop.count, COUNT);
            EXPECT_LT(stop.done, COUNT);
            // Every index that was started ran to its end, and was counted.
            EXPECT_EQ(stop.done, hits.ran()) << threads << " threads";
        }
        ASSERT_EQ(check.askers.size(), 2u);
        for (const std::thread::id asker : check.askers)
            EXPECT_EQ(asker, std::this_thread::get_id()) << "only the calling thread asks";

        // The pool runs the next job whole.
        CountingCheck never(0);
        pool.stop_when(&never);
        Hits next(1000);
        pool.run(1000, [&](std::size_t begin, std::size_t end) { next.record(begin, end); });
        EXPECT_EQ(next.ran(), 1000u);
    }
}

TEST(WorkerPoolInterruptTest, TheCallerAsksWhileItWaitsForTheOtherThreads) {
    WorkerPool pool(2);
    CountingCheck check(1);
    pool.stop_when(&check);
    const std::thread::id caller = std::this_thread::get_id();
    std::atomic<bool> worker_started{false};
    constexpr std::size_t COUNT = 3200;
    Hits hits(COUNT);
    // The caller's indices are instant once the worker holds a run of its own, whose indices
    // take a millisecond each: the caller soon has nothing left but to wait.
    EXPECT_THROW(pool.run(COUNT,
                          [&](std::size_t begin, std::size_t end) {
                              if (std::this_thread::get_id() == caller) {
                                  while (!worker_started.load()) std::this_thread::yield();
                              } else {
                                  worker_started.store(true);
                                  std::this_thread::sleep_for(1ms);
                              }
                              hits.record(begin, end);
                          }),
                 Interrupted);
    EXPECT_LT(hits.ran(), COUNT);
    EXPECT_EQ(check.askers, std::vector<std::thread::id>{caller});
}

TEST(WorkerPoolInterruptTest, AFailureIsRethrownRatherThanReportedAsAStop) {
    WorkerPool pool(2);
    CountingCheck never(0);
    pool.stop_when(&never);
    EXPECT_THROW(pool.run(100,
                          [](std::size_t begin, std::size_t) {
                              if (begin == 50) throw std::runtime_error("index 50");
                          }),
                 std::runtime_error);
}

TEST(WorkerPoolTest, RunsEveryIndexExactlyOnceJobAfterJob) {
    for (const std::size_t threads : {1, 2, 3}) {
        WorkerPool pool(threads);
        EXPECT_EQ(pool.num_threads(), threads);
        for (const std::size_t count : {0, 1, 2, 5, 64, 1001}) {
            for (int repeat = 0; repeat < 20; ++repeat) {
                std::vector<std::atomic<int>> hits(count);
                pool.run(count, [&](std::size_t begin, std::size_t end) {
                    ASSERT_LT(begin, end);
                    for (std::size_t i = begin; i < end; ++i) hits[i].fetch_add(1);
                });
                for (std::size_t i = 0; i < count; ++i)
                    ASSERT_EQ(hits[i].load(), 1) << threads << " threads, index " << i;
            }
        }
    }
}

TEST(WorkerPoolTest, RethrowsAFailureAndStaysUsable) {
    WorkerPool pool(2);
    EXPECT_THROW(pool.run(100,
                          [](std::size_t begin, std::size_t end) {
                              if (begin <= 50 && 50 < end) throw std::runtime_error("index 50");
                          }),
                 std::runtime_error);
    std::atomic<std::size_t> total{0};
    pool.run(100, [&](std::size_t begin, std::size_t end) { total += end - begin; });
    EXPECT_EQ(total.load(), 100u);
}

TEST(WorkerPoolTest, RunsOnTheCallerAloneOnceStopped) {
    WorkerPool pool(3);
    pool.stop();
    EXPECT_EQ(pool.num_threads(), 1u);
    const std::thread::id caller = std::this_thread::get_id();
    std::size_t total = 0;
    pool.run(50, [&](std::size_t begin, std::size_t end) {
        EXPECT_EQ(std::this_thread::get_id(), caller);
        total += end - begin;
    });
    EXPECT_EQ(total, 50u);
}

TEST(WorkerPoolInterruptTest, ALongIndexThatSeesTheStopEndsAtOnceAndIsNotCounted) {
    for (const std::size_t threads : {1, 2}) {
        WorkerPool pool(threads);
        CountingCheck check(1);
        pool.stop_when(&check);
        // Each index waits for the stop, as a search asks between playouts, and then gives up.
        std::atomic<std::size_t> given_up{0};
        try {
            pool.run(4, [&](std::size_t, std::size_t) {
                while (!pool.stopping()) std::this_thread::sleep_for(1ms);
                given_up.fetch_add(1);
                throw Interrupted(0, 1);
            });
            ADD_FAILURE() << threads << " threads: the job was not stopped";
        } catch (const Interrupted& stop) {
            EXPECT_EQ(stop.count, 4u);
            EXPECT_EQ(stop.done, 0u);
        }
        // No index was started after the stop: at most one under way per thread.
        EXPECT_GE(given_up.load(), 1u);
        EXPECT_LE(given_up.load(), threads);
    }
}

}  // namespace
}  // namespace game
