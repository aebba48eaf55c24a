// A small pool of threads that runs one job at a time over a range of indices, for the batches
// and arenas that step many games per call, and the check it asks so that Ctrl-C stops a long job.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <thread>
#include <type_traits>

#include "game/alloc.hpp"

namespace game {

// How many fork() calls have made this process a child (0 in the process that started): an object
// that finds the count changed knows that the threads it knew stayed behind in the parent.
std::uint64_t fork_generation();

// Asked by the thread that runs a job, at least every PERIOD of the job's work, whether to give the
// job up; the binding answers with Python's signal handlers, so that Ctrl-C stops a long call.
class StopCheck {
public:
    static constexpr std::chrono::milliseconds PERIOD{50};
    virtual bool stop_requested() noexcept = 0;

protected:
    ~StopCheck() = default;
};

// Thrown by WorkerPool::run when its StopCheck asked to stop: `done` of the job's `count` indices
// were run, each of them whole; the others were not started, or were given up part way (an index
// that finds the job given up, see WorkerPool::stopping, may throw Interrupted to end at once).
struct Interrupted : std::exception {
    Interrupted(std::size_t done, std::size_t count) : done(done), count(count) {}
    const char* what() const noexcept override { return "the job was stopped before its end"; }
    std::size_t done, count;
};

// A fixed set of threads that runs one job at a time over the indices [0, count). The thread that
// calls run takes part, so a pool of one thread starts none. Idle threads sleep until the next job.
class WorkerPool {
public:
    explicit WorkerPool(std::size_t num_threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t num_threads() const { return workers_.size() + 1; }

    // Calls job(begin, end) on disjoint runs that together cover [0, count), and returns when all
    // of them have ended. Once a run throws, runs not yet started are skipped, and the first
    // exception is rethrown here. Not reentrant: one run call at a time.
    //
    // With a StopCheck (see stop_when), every index is a run of its own, and the calling thread
    // asks the check at least every StopCheck::PERIOD, also while it waits for the other threads;
    // when it answers yes, no further index is started and run throws Interrupted once the
    // indices under way have ended.
    template <class Job>
    void run(std::size_t count, Job&& job) {
        using Stored = std::remove_reference_t<Job>;
        run_erased(
            count,
            [](void* context, std::size_t begin, std::size_t end) {
                (*static_cast<Stored*>(context))(begin, end);
            },
            const_cast<void*>(static_cast<const void*>(&job)));
    }

    // Ends the threads; later jobs run on the calling thread alone.
    void stop();

    // The check that later jobs ask whether to stop (none: nullptr). It must outlive those jobs.
    void stop_when(StopCheck* check) { check_ = check; }

    // For an index of the current job that takes long (a search), asked from inside it: whether
    // the job is being given up. The calling thread asks the check when it is due; another thread
    // has the calling thread ask it, should it be waiting. An index that finds it true may throw
    // Interrupted, which the pool counts as an index not run rather than as a failure.
    bool stopping() noexcept;

private:
    using Task = void (*)(void*, std::size_t, std::size_t);
    using Clock = std::chrono::steady_clock;

    void run_erased(std::size_t count, Task task, void* context);
    void start(std::size_t num_workers);
    void worker(std::uint32_t seen);
    // Claims and runs runs of the current job until none is left; the calling thread (caller)
    // asks the check when it is due. Adds the indices it ran to done_.
    void work(bool caller) noexcept;
    // Starts no further index of the current job.
    void abandon();
    // Asks the check if a period has passed since it was last asked, and abandons the job if it
    // says to stop. Calling thread only.
    void ask_check();
    // On a worker: when the check is due, wakes the calling thread to ask it.
    void check_is_due();
    // Waits for the workers to leave the current job, asking the check meanwhile.
    void wait_for_workers();

    Vec<std::thread> workers_;
    // The pool's threads exist in the process that made them; a child made by fork() has only
    // the thread that forked, so a pool that finds itself in a child starts its threads anew.
    std::uint64_t forks_seen_ = 0;

    // The current job; written before generation_ is bumped, read by workers after they see it.
    Task task_ = nullptr;
    void* context_ = nullptr;
    std::size_t count_ = 0;
    std::size_t grain_ = 1;
    std::atomic<std::size_t> next_{0};
    std::atomic<std::uint32_t> generation_{0};
    std::atomic<std::uint32_t> busy_{0};  // workers still inside the current job
    std::atomic<bool> stopping_{false};
    std::atomic<bool> failed_{false};
    std::exception_ptr failure_;

    // Stopping a job on request: the check, when the calling thread asks it next (steady clock
    // ticks, read by the workers too), and whether it said to stop.
    StopCheck* check_ = nullptr;
    std::thread::id caller_;  // of the current job
    std::atomic<Clock::rep> next_check_{0};
    std::atomic<bool> abandoned_{false};  // no further index is started
    bool interrupted_ = false;
    std::atomic<std::size_t> done_{0};  // indices run to their end
    // Bumped when the last worker leaves a job, and when a worker finds the check due while the
    // calling thread may be waiting: what that thread waits on.
    std::atomic<std::uint32_t> wake_{0};
    std::atomic<bool> check_due_{false};
};

}  // namespace game
