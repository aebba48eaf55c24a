// Stopping a job of the worker pool on request, as Ctrl-C stops a long call from Python.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <thread>
#include <vector>

#include "game/batch.hpp"

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

}  // namespace
}  // namespace game
