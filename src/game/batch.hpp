// Many independent games stepped together, for training loops that want thousands of turns per
// call: every game always waits at a decision (a seat that can still move) or shows how it ended,
// finished games restart as Gymnasium's vector envs restart them, and the work is split over a
// small pool of threads that lives as long as the batch.
//
// Two batches share the machinery (EnvBatch): Batch, where the caller plays every seat, and
// LearnerBatch (learner_batch.hpp), where the caller plays one seat and the engine's bots the
// other three. Both write into buffers that their caller owns and reuses from call to call, so a
// step allocates nothing.
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
#include "game/legal_lists.hpp"

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

    // Starts the threads of a pool made with one, for num_threads in all: a caller that must
    // allocate before it starts threads (which fail for want of memory too) makes the pool first.
    void start_threads(std::size_t num_threads);

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

// How a batch restarts an env whose game has ended: the autoreset modes of Gymnasium's vector envs.
enum class Autoreset : std::uint8_t {
    // The step that ends a game shows its final view; the env's next step starts a new game and
    // plays no action.
    NextStep,
    // The step that ends a game writes its final view aside (the final_ buffers) and shows the
    // new game's first view.
    SameStep,
    // A game that ended stays over until reset starts a new one; an action for it is refused.
    Disabled,
};

// The generator of game `index` of many, seeded from (seed, index) alone: every env of a batch
// and every game of an arena. seed_seq mixes all four words, so neighbouring seeds and
// neighbouring games start far apart, and its output is fixed by the standard: a game replays on
// every platform.
std::mt19937_64 seeded_generator(std::uint64_t seed, std::uint64_t index);

// Where a batch writes, each an array over the envs of the batch, owned by the caller. A view is
// what the env's player sees: the player to move in a game that goes on, or, once the game is
// over, the player the batch serves (its learner, or the seat that made the last placement).
struct BatchBuffers {
    std::uint8_t* planes = nullptr;  // PLANE_BYTES per env: the player's planes, in its frame
    // The player's legal actions: EnvBatch::mask_bytes(layout) per env in the grid layouts, or,
    // in the indices layout, lists (legal_lists.hpp): num_envs + 1 offsets and room for
    // num_envs * MAX_LEGAL_PLACEMENTS indices. A game that is over has none.
    std::uint8_t* masks = nullptr;
    std::int32_t* legal_offsets = nullptr;
    std::int32_t* legal_indices = nullptr;
    std::uint8_t* hands = nullptr;  // HAND_BYTES per env, the player's first
    std::int8_t* seats = nullptr;   // the player's seat
    // What the call ended: 1 for an env whose game ended in it, with its scores in seat order, the
    // pieces placed in it, and the player's reward (batches without one leave `rewards` alone);
    // 0 elsewhere.
    std::uint8_t* terminated = nullptr;
    std::int16_t* scores = nullptr;  // NUM_AGENTS per env
    std::int16_t* placements = nullptr;
    float* rewards = nullptr;
    // With Autoreset::SameStep, the final view of each game that ended in the call (its legal
    // actions are none, and not written); the rows of other envs are left as they were.
    std::uint8_t* final_planes = nullptr;
    std::uint8_t* final_hands = nullptr;
    std::int8_t* final_seats = nullptr;
};

// An action that the batch refused, and so did not step any env.
struct RefusedAction {
    std::size_t env = 0;
    std::int64_t action = 0;
    std::size_t seat = 0;
    // The env's game is over and waits for a reset (Autoreset::Disabled).
    bool game_over = false;
};

struct BatchStep {
    std::optional<RefusedAction> refused;
    std::size_t finished = 0;  // envs whose game ended in this step
};

// What one env shows: the seats as its player sees them, and the player's legal actions (none once
// the game is over).
struct EnvView {
    TableView seen;
    const ActionMask* legal = nullptr;
    std::size_t seat = 0;
};

// The machinery of a batch of envs: seeding, restarting, checking actions before any env moves,
// writing views, and spreading the envs over the threads. What a game does is the derived batch's.
class EnvBatch {
public:
    virtual ~EnvBatch() = default;
    EnvBatch(const EnvBatch&) = delete;
    EnvBatch& operator=(const EnvBatch&) = delete;

    std::size_t size() const { return generators_.size(); }
    std::size_t num_threads() const { return pool_.num_threads(); }
    MaskLayout layout() const { return layout_; }
    Autoreset autoreset() const { return autoreset_; }
    // Bytes of mask per env in `layout`: none for lists.
    static constexpr std::size_t mask_bytes(MaskLayout layout) {
        return layout == MaskLayout::Bits    ? NUM_GRID_INDICES / 8
               : layout == MaskLayout::Bytes ? NUM_GRID_INDICES
                                             : 0;
    }

    // Starts a new game in every env, or only in those whose byte of `only` is not 0, and writes
    // its first view; their terminated, scores, placements and rewards are zeroed. `seeds` is
    // empty or holds one entry per env: a seed seeds that env's generator again from (seed, env
    // index); without one, the generator carries on.
    void reset(const BatchBuffers& out, std::span<const std::optional<std::uint64_t>> seeds = {},
               const std::uint8_t* only = nullptr);

    // Plays actions[i] (a grid index) in env i and on to its next decision, and writes every env's
    // view. An env whose game ended in the previous step starts a new game instead, whatever its
    // action (Autoreset::NextStep). If any action is not legal, the first such env is reported
    // and nothing is stepped or written.
    BatchStep step(std::span<const std::int64_t> actions, const BatchBuffers& out);

    // The first env whose action would be refused.
    std::optional<RefusedAction> check(std::span<const std::int64_t> actions) const;

    // Ends the worker threads; later calls run on the calling thread.
    void stop_threads() { pool_.stop(); }

    // The check that reset and step ask whether to stop early (see WorkerPool::run). A stopped
    // call throws Interrupted and leaves the envs it did not reach as they were, so the games are
    // no longer one step apart: only a reset brings them together again.
    void stop_when(StopCheck* check) { pool_.stop_when(check); }

    // Each env's own random source, seeded from (seed, env index).
    const std::mt19937_64& generator(std::size_t env) const { return generators_[env]; }
    // Whether the env's game is over, waiting for its restart.
    bool over(std::size_t env) const { return legal(env) == nullptr; }
    // What env i shows now.
    virtual EnvView view(std::size_t env) const = 0;

protected:
    // Throws std::bad_alloc when num_envs envs do not fit in memory, and std::system_error when
    // the threads cannot start.
    EnvBatch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout, Autoreset autoreset,
             std::uint64_t seed);

    // Starts the worker threads; the derived batch calls it once its games are allocated, so
    // that a batch too large for memory is refused as such, not as threads that could not start.
    void start_threads() { pool_.start_threads(threads_wanted_); }

    // The memory the batch itself takes per env, besides the derived batch's games and the
    // buffers its caller owns.
    static std::size_t base_bytes_per_env(MaskLayout layout);

    // A new game in the env, played on to its first decision.
    virtual void start(std::size_t env, std::mt19937_64& generator) = 0;
    // The env's generator was seeded again: whatever was drawn from the old one is forgotten.
    virtual void reseeded(std::size_t) {}
    // Plays a legal action and on to the next decision; returns false once the game is over.
    virtual bool play(std::size_t env, std::size_t action, std::mt19937_64& generator) = 0;
    // Whether the env's player may play the action now (for an env whose game goes on).
    virtual bool allows(std::size_t env, std::int64_t action) const = 0;
    // The legal actions of the env's player, or null once the game is over.
    virtual const ActionMask* legal(std::size_t env) const = 0;
    // For a game that is over: its scores, placements and reward, into row `env` of `out`.
    virtual void write_result(std::size_t env, const BatchBuffers& out) const = 0;

private:
    // Zeroes what the call ended for env i.
    static void clear_result(std::size_t env, const BatchBuffers& out);
    // The env's view into its rows of the view buffers, and its legal list into its slot; the
    // lists are packed into the buffers after all envs (write_lists).
    void write_view(std::size_t env, const BatchBuffers& out);
    void write_final_view(std::size_t env, const BatchBuffers& out) const;
    void write_lists(const BatchBuffers& out);

    SizedByCaller<std::mt19937_64> generators_;
    MaskLayout layout_;
    Autoreset autoreset_;
    LegalLists lists_;  // for the indices layout only
    std::size_t threads_wanted_;
    WorkerPool pool_;
};

// The batch of self-play: the caller plays every seat. Each env waits at the seat to move (which
// can move: seats that are done are passed), and a game that ends shows the view of the seat that
// made the last placement.
class Batch final : public EnvBatch {
public:
    // num_threads is clamped to [1, num_envs]. Every env's generator is seeded from (seed, its
    // index). The games are new but nothing is written until reset. Throws as EnvBatch does.
    Batch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout, std::uint64_t seed,
          Autoreset autoreset = Autoreset::NextStep);

    // The memory a game of the batch takes in `layout`, besides the buffers its caller owns.
    static std::size_t bytes_per_env(MaskLayout layout);

    const Game& game(std::size_t env) const { return envs_[env].game; }
    EnvView view(std::size_t env) const override;

private:
    struct Env {
        Game game;
        std::uint8_t last_mover = 0;
    };

    void start(std::size_t env, std::mt19937_64& generator) override;
    bool play(std::size_t env, std::size_t action, std::mt19937_64& generator) override;
    bool allows(std::size_t env, std::int64_t action) const override;
    const ActionMask* legal(std::size_t env) const override;
    void write_result(std::size_t env, const BatchBuffers& out) const override;

    SizedByCaller<Env> envs_;
    Game fresh_;
};

}  // namespace game
