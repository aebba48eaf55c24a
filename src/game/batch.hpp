// Many independent games stepped together, for training loops that want thousands of turns per
// call: every game always waits at a seat that can still move, finished games restart by
// themselves, and the work is split over a small pool of threads that lives as long as the batch.
//
// The batch writes into buffers that its caller owns and reuses from call to call, so a step
// allocates nothing.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <optional>
#include <random>
#include <span>
#include <thread>
#include <type_traits>

#include "game.hpp"

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
// were run, each of them whole; the others were not started.
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
    std::atomic<Clock::rep> next_check_{0};
    std::atomic<bool> abandoned_{false};  // no further index is started
    bool interrupted_ = false;
    std::atomic<std::size_t> done_{0};  // indices run to their end
    // Bumped when the last worker leaves a job, and when a worker finds the check due while the
    // calling thread may be waiting: what that thread waits on.
    std::atomic<std::uint32_t> wake_{0};
    std::atomic<bool> check_due_{false};
};

// Where a batch writes, each an array over the envs of the batch, owned by the caller.
struct BatchBuffers {
    std::uint8_t* planes = nullptr;  // PLANE_BYTES per env: the mover's view, plane, row, col
    std::uint8_t* masks = nullptr;   // Batch::mask_bytes(layout) per env: the mover's legal actions
    std::int8_t* seats = nullptr;    // the seat to move
    std::int16_t* rewards = nullptr;     // NUM_AGENTS per env: final scores, or 0 while playing
    std::uint8_t* terminated = nullptr;  // 1 when the env's game ended in this call
    std::int16_t* placements = nullptr;  // pieces placed in the game that ended, or 0
};

// An action that the batch refused, and so did not step any env.
struct RefusedAction {
    std::size_t env = 0;
    std::int64_t action = 0;
    std::size_t seat = 0;
};

struct BatchStep {
    std::optional<RefusedAction> refused;
    std::size_t finished = 0;  // envs whose game ended (and restarted) in this step
};

class Batch {
public:
    // num_threads is clamped to [1, num_envs]. Every env's generator is seeded from (seed, its
    // index). The games are new but nothing is written until reset. Throws std::bad_alloc when
    // num_envs games do not fit in memory, and std::system_error when the threads cannot start.
    Batch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout, std::uint64_t seed);

    std::size_t size() const { return envs_.size(); }
    std::size_t num_threads() const { return pool_.num_threads(); }
    MaskLayout layout() const { return layout_; }
    static constexpr std::size_t mask_bytes(MaskLayout layout) {
        return layout == MaskLayout::Bits ? NUM_GRID_INDICES / 8 : NUM_GRID_INDICES;
    }

    // Starts a new game in every env and writes its first observation; rewards, terminated and
    // placements are zeroed. With a seed, every generator is seeded again from (seed, index);
    // without one, the generators carry on.
    void reset(const BatchBuffers& out, std::optional<std::uint64_t> seed = std::nullopt);

    // Plays actions[i] (a grid index) for the seat to move of env i, then passes the seats that
    // are done; a game whose four seats are done reports its scores and restarts at once. If any
    // action is not legal, the first such env is reported and nothing is stepped or written.
    BatchStep step(std::span<const std::int64_t> actions, const BatchBuffers& out);

    // The first env whose action is not legal for its seat to move.
    std::optional<RefusedAction> check(std::span<const std::int64_t> actions) const;

    // Ends the worker threads; later calls run on the calling thread.
    void stop_threads() { pool_.stop(); }

    // The check that reset and step ask whether to stop early (see WorkerPool::run). A stopped
    // call throws Interrupted and leaves the envs it did not reach as they were, so the games are
    // no longer one step apart: only a reset brings them together again.
    void stop_when(StopCheck* check) { pool_.stop_when(check); }

    // The memory a game of the batch takes, besides the buffers its caller owns.
    static std::size_t bytes_per_env();

    const Game& game(std::size_t env) const { return envs_[env].game; }
    // Each env's own random source. The rules draw nothing today; anything random added later
    // draws from here, so that one seed replays the whole batch.
    const std::mt19937_64& generator(std::size_t env) const { return envs_[env].generator; }

private:
    struct Env {
        Game game;
        std::mt19937_64 generator;
    };

    void seed_generator(std::size_t env, std::uint64_t seed);
    // Moves env i on to a seat that can move, restarting a finished game, and writes its outputs.
    // Returns whether a game ended.
    bool settle(std::size_t env, const BatchBuffers& out);

    SizedByCaller<Env> envs_;
    MaskLayout layout_;
    Game fresh_;
    WorkerPool pool_;
};

}  // namespace game
