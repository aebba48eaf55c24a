#include "game/worker_pool.hpp"

#include <pthread.h>

#include <algorithm>
#include <mutex>

namespace game {

// ---- WorkerPool -------------------------------------------------------------------------------

namespace {

// Counts the fork() calls whose child is this process, so that a pool can tell that its threads
// stayed behind in the parent.
std::atomic<std::uint64_t> FORKS{0};

constexpr std::chrono::microseconds SPIN_BEFORE_SLEEP{50};

}  // namespace

std::uint64_t fork_generation() {
    static std::once_flag registered;
    std::call_once(registered, [] {
        pthread_atfork(nullptr, nullptr, [] { FORKS.fetch_add(1, std::memory_order_relaxed); });
    });
    return FORKS.load(std::memory_order_relaxed);
}

WorkerPool::WorkerPool(std::size_t num_threads) : forks_seen_(fork_generation()) {
    start(num_threads > 1 ? num_threads - 1 : 0);
}

WorkerPool::~WorkerPool() { stop(); }

void WorkerPool::start(std::size_t num_workers) {
    stopping_.store(false, std::memory_order_relaxed);
    workers_.reserve(num_workers);
    const std::uint32_t seen = generation_.load(std::memory_order_relaxed);
    try {
        for (std::size_t i = 0; i < num_workers; ++i)
            workers_.emplace_back([this, seen] { worker(seen); });
    } catch (...) {
        // A joinable thread must not be destroyed: end the ones that did start.
        stop();
        throw;
    }
}

void WorkerPool::stop() {
    if (forks_seen_ != fork_generation()) {
        // The threads do not exist here; their handles cannot be joined, only forgotten.
        static_cast<void>(new Vec<std::thread>(std::move(workers_)));
        workers_.clear();
        return;
    }
    if (workers_.empty()) return;
    stopping_.store(true, std::memory_order_relaxed);
    generation_.fetch_add(1, std::memory_order_release);
    generation_.notify_all();
    for (std::thread& t : workers_) t.join();
    workers_.clear();
}

void WorkerPool::worker(std::uint32_t seen) {
    for (;;) {
        // A training loop usually asks again soon, and waking a sleeping thread costs more than a
        // small job: watch for the next job for a moment before going to sleep. Yielding, not
        // spinning, so that a busy machine runs its other threads meanwhile.
        const auto until = Clock::now() + SPIN_BEFORE_SLEEP;
        while (generation_.load(std::memory_order_relaxed) == seen && Clock::now() < until)
            std::this_thread::yield();
        generation_.wait(seen, std::memory_order_acquire);
        seen = generation_.load(std::memory_order_acquire);
        if (stopping_.load(std::memory_order_relaxed)) return;
        work(false);
        // The decrement releases what this thread wrote; the caller's acquire of 0 takes it.
        if (busy_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            wake_.fetch_add(1, std::memory_order_release);
            wake_.notify_one();
        }
    }
}

void WorkerPool::work(bool caller) noexcept {
    // Only the first failure is kept; the rest of the job is abandoned.
    const auto fail = [this] {
        if (!failed_.exchange(true, std::memory_order_relaxed))
            failure_ = std::current_exception();
        abandon();
    };
    std::size_t done = 0;
    for (;;) {
        const std::size_t begin = next_.fetch_add(grain_, std::memory_order_relaxed);
        if (begin >= count_) break;
        const std::size_t end = std::min(begin + grain_, count_);
        try {
            if (check_ == nullptr) {
                task_(context_, begin, end);
                done += end - begin;
                continue;
            }
            // One index at a time, so that a stop takes effect after the index under way.
            for (std::size_t i = begin; i < end && !abandoned_.load(std::memory_order_relaxed);
                 ++i) {
                task_(context_, i, i + 1);
                ++done;
                caller ? ask_check() : check_is_due();
            }
        } catch (const Interrupted&) {
            // An index that found the job given up (stopping) and ended part way is no failure.
            if (check_ == nullptr || !abandoned_.load(std::memory_order_relaxed)) fail();
            break;
        } catch (...) {
            fail();
            break;
        }
    }
    done_.fetch_add(done, std::memory_order_relaxed);
}

void WorkerPool::abandon() {
    next_.store(count_, std::memory_order_relaxed);
    abandoned_.store(true, std::memory_order_relaxed);
}

void WorkerPool::ask_check() {
    const Clock::time_point now = Clock::now();
    if (now.time_since_epoch().count() < next_check_.load(std::memory_order_relaxed)) return;
    next_check_.store((now + StopCheck::PERIOD).time_since_epoch().count(),
                      std::memory_order_relaxed);
    if (!interrupted_ && check_->stop_requested()) {
        interrupted_ = true;
        abandon();
    }
}

void WorkerPool::check_is_due() {
    if (Clock::now().time_since_epoch().count() >= next_check_.load(std::memory_order_relaxed) &&
        !check_due_.exchange(true, std::memory_order_relaxed)) {
        // The calling thread may be waiting for the workers: wake it to ask.
        wake_.fetch_add(1, std::memory_order_release);
        wake_.notify_one();
    }
}

bool WorkerPool::stopping() noexcept {
    if (check_ == nullptr) return false;
    std::this_thread::get_id() == caller_ ? ask_check() : check_is_due();
    return abandoned_.load(std::memory_order_relaxed);
}

void WorkerPool::wait_for_workers() {
    for (;;) {
        const std::uint32_t seen = wake_.load(std::memory_order_acquire);
        // Each worker's decrement releases what it wrote; seeing 0 acquires all of it.
        if (busy_.load(std::memory_order_acquire) == 0) return;
        if (check_ != nullptr && check_due_.exchange(false, std::memory_order_relaxed)) {
            ask_check();
            continue;
        }
        wake_.wait(seen, std::memory_order_acquire);
    }
}

void WorkerPool::run_erased(std::size_t count, Task task, void* context) {
    if (forks_seen_ != fork_generation()) {
        const std::size_t num_workers = workers_.size();
        stop();
        forks_seen_ = fork_generation();
        start(num_workers);
    }
    task_ = task;
    context_ = context;
    caller_ = std::this_thread::get_id();
    count_ = count;
    // Many runs per thread, so that a thread whose games are cheaper this step takes more, and
    // the last run to finish leaves the other threads idle only briefly.
    grain_ = std::max<std::size_t>(1, count / (num_threads() * 16));
    next_.store(0, std::memory_order_relaxed);
    failed_.store(false, std::memory_order_relaxed);
    failure_ = nullptr;
    abandoned_.store(false, std::memory_order_relaxed);
    interrupted_ = false;
    done_.store(0, std::memory_order_relaxed);
    check_due_.store(false, std::memory_order_relaxed);
    next_check_.store((Clock::now() + StopCheck::PERIOD).time_since_epoch().count(),
                      std::memory_order_relaxed);

    if (workers_.empty() || count <= grain_) {
        work(true);
    } else {
        busy_.store(static_cast<std::uint32_t>(workers_.size()), std::memory_order_relaxed);
        generation_.fetch_add(1, std::memory_order_release);
        generation_.notify_all();
        work(true);
        wait_for_workers();
    }
    if (failed_.load(std::memory_order_relaxed)) std::rethrow_exception(failure_);
    if (interrupted_) throw Interrupted(done_.load(std::memory_order_relaxed), count);
}

}  // namespace game
