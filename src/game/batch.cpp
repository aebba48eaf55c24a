#include "game/batch.hpp"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>

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

void WorkerPool::start_threads(std::size_t num_threads) {
    if (workers_.empty()) start(num_threads > 1 ? num_threads - 1 : 0);
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
                if (caller) {
                    ask_check();
                } else if (Clock::now().time_since_epoch().count() >=
                               next_check_.load(std::memory_order_relaxed) &&
                           !check_due_.exchange(true, std::memory_order_relaxed)) {
                    // The calling thread may be waiting for the workers: wake it to ask.
                    wake_.fetch_add(1, std::memory_order_release);
                    wake_.notify_one();
                }
            }
        } catch (...) {
            // Only the first failure is kept; the rest of the job is abandoned.
            if (!failed_.exchange(true, std::memory_order_relaxed))
                failure_ = std::current_exception();
            abandon();
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

// ---- EnvBatch ---------------------------------------------------------------------------------

std::mt19937_64 seeded_generator(std::uint64_t seed, std::uint64_t index) {
    std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
    return std::mt19937_64(words);
}

EnvBatch::EnvBatch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout,
                   Autoreset autoreset, std::uint64_t seed)
    : generators_(num_envs),
      layout_(layout),
      autoreset_(autoreset),
      lists_(layout == MaskLayout::Indices ? num_envs : 0),
      threads_wanted_(std::clamp<std::size_t>(num_threads, 1, std::max<std::size_t>(num_envs, 1))),
      pool_(1) {
    for (std::size_t i = 0; i < num_envs; ++i) generators_[i] = seeded_generator(seed, i);
}

std::size_t EnvBatch::base_bytes_per_env(MaskLayout layout) {
    const std::size_t lists =
        layout == MaskLayout::Indices
            ? MAX_LEGAL_PLACEMENTS * sizeof(std::uint16_t) + sizeof(std::int32_t)
            : 0;
    return sizeof(std::mt19937_64) + lists;
}

void EnvBatch::reset(const BatchBuffers& out, std::span<const std::optional<std::uint64_t>> seeds,
                     const std::uint8_t* only) {
    if (!seeds.empty() && seeds.size() != size())
        fatal("batch of " + std::to_string(size()) + " envs given " + std::to_string(seeds.size()) +
              " seeds");
    pool_.run(size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (only != nullptr && only[i] == 0) continue;
            if (!seeds.empty() && seeds[i]) {
                generators_[i] = seeded_generator(*seeds[i], i);
                reseeded(i);
            }
            start(i, generators_[i]);
            clear_result(i, out);
            write_view(i, out);
        }
    });
    write_lists(out);
}

std::optional<RefusedAction> EnvBatch::check(std::span<const std::int64_t> actions) const {
    if (actions.size() != size())
        fatal("batch of " + std::to_string(size()) + " envs given " +
              std::to_string(actions.size()) + " actions");
    for (std::size_t i = 0; i < actions.size(); ++i) {
        // A game that is over plays no action: the step restarts it, unless restarting is the
        // caller's job.
        const bool game_over = over(i);
        if (game_over ? autoreset_ == Autoreset::Disabled : !allows(i, actions[i]))
            return RefusedAction{i, actions[i], view(i).seat, game_over};
    }
    return std::nullopt;
}

BatchStep EnvBatch::step(std::span<const std::int64_t> actions, const BatchBuffers& out) {
    BatchStep result;
    result.refused = check(actions);
    if (result.refused) return result;
    pool_.run(size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            clear_result(i, out);
            if (over(i)) {
                start(i, generators_[i]);
            } else if (!play(i, static_cast<std::size_t>(actions[i]), generators_[i])) {
                out.terminated[i] = 1;
                write_result(i, out);
                if (autoreset_ == Autoreset::SameStep) {
                    write_final_view(i, out);
                    start(i, generators_[i]);
                }
            }
            write_view(i, out);
        }
    });
    write_lists(out);
    result.finished = static_cast<std::size_t>(
        std::count(out.terminated, out.terminated + size(), std::uint8_t{1}));
    return result;
}

void EnvBatch::clear_result(std::size_t env, const BatchBuffers& out) {
    out.terminated[env] = 0;
    std::fill_n(out.scores + env * NUM_AGENTS, NUM_AGENTS, std::int16_t{0});
    out.placements[env] = 0;
    if (out.rewards != nullptr) out.rewards[env] = 0;
}

void EnvBatch::write_view(std::size_t env, const BatchBuffers& out) {
    const EnvView v = view(env);
    v.seen.write_planes(out.planes + env * PLANE_BYTES);
    v.seen.write_hands(out.hands + env * HAND_BYTES);
    out.seats[env] = static_cast<std::int8_t>(v.seat);
    if (layout_ == MaskLayout::Indices) return lists_.list(env, v.legal);
    std::uint8_t* mask = out.masks + env * mask_bytes(layout_);
    if (v.legal != nullptr)
        v.legal->write_grid(mask, layout_);
    else
        std::memset(mask, 0, mask_bytes(layout_));
}

void EnvBatch::write_final_view(std::size_t env, const BatchBuffers& out) const {
    const EnvView v = view(env);
    v.seen.write_planes(out.final_planes + env * PLANE_BYTES);
    v.seen.write_hands(out.final_hands + env * HAND_BYTES);
    out.final_seats[env] = static_cast<std::int8_t>(v.seat);
}

void EnvBatch::write_lists(const BatchBuffers& out) {
    if (layout_ == MaskLayout::Indices) lists_.pack(pool_, out.legal_offsets, out.legal_indices);
}

// ---- Batch ------------------------------------------------------------------------------------

Batch::Batch(std::size_t num_envs, std::size_t num_threads, MaskLayout layout, std::uint64_t seed,
             Autoreset autoreset)
    : EnvBatch(num_envs, num_threads, layout, autoreset, seed), envs_(num_envs) {
    start_threads();
}

std::size_t Batch::bytes_per_env(MaskLayout layout) {
    return base_bytes_per_env(layout) + sizeof(Env);
}

void Batch::start(std::size_t env, std::mt19937_64&) {
    Game& game = envs_[env].game;
    game = fresh_;
    // Seat 0 of a new game always has a move.
    if (!game.settle()) fatal("a new game is over");
}

bool Batch::play(std::size_t env, std::size_t action, std::mt19937_64&) {
    Env& e = envs_[env];
    e.last_mover = static_cast<std::uint8_t>(e.game.agent_selection);
    if (const std::optional<InvalidAction> refusal = e.game.step(action))
        fatal("env " + std::to_string(env) + " refused a checked action: " + refusal->message);
    return e.game.settle();
}

bool Batch::allows(std::size_t env, std::int64_t action) const {
    const Game& game = envs_[env].game;
    const std::optional<std::size_t> grid_index =
        action >= 0 ? std::optional<std::size_t>(static_cast<std::size_t>(action)) : std::nullopt;
    const std::optional<std::string_view> refusal = game.refusal(grid_index);
    // Every env waits at a seat that can move, observed since the last move.
    if (refusal && *refusal == STALE_MASK)
        fatal("env " + std::to_string(env) + " waits at a seat without a current mask");
    return !refusal;
}

const ActionMask* Batch::legal(std::size_t env) const {
    const Game& game = envs_[env].game;
    // The game stops at a seat that can move until all four are done.
    const Agent& mover = game.agents[game.agent_selection];
    return mover.done ? nullptr : &mover.action_mask;
}

EnvView Batch::view(std::size_t env) const {
    const Env& e = envs_[env];
    const ActionMask* moves = legal(env);
    const std::size_t seat = moves != nullptr ? e.game.agent_selection : e.last_mover;
    return {e.game.seen_by(seat), moves, seat};
}

void Batch::write_result(std::size_t env, const BatchBuffers& out) const {
    const Game& game = envs_[env].game;
    const auto scores = game.rewards();
    for (std::size_t s = 0; s < NUM_AGENTS; ++s) {
        out.scores[env * NUM_AGENTS + s] = *scores[s];
        out.placements[env] += game.agents[s].pieces_placed;
    }
}

}  // namespace game
