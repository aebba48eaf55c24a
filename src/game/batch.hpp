// Many independent games stepped together, for training loops that want thousands of turns per
// call. The caller plays some seats of every game (all four in self-play, or one, the learner)
// and the engine's bots the others, which move inside the engine until a seat of the caller's is
// to move again or the game is over. Finished games restart as Gymnasium's vector envs restart
// them; the work is split over a pool of threads that lives as long as the batch.
//
// The games are State values (so a game is exactly the one State::apply plays from the same
// moves), and each env shows what one seat sees (view.hpp): the caller's seat to move, or, once
// the game is over, the caller's seat that moved last. The batch writes into arrays that its
// caller owns, so a step allocates nothing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string_view>
#include <vector>

#include "game/players.hpp"
#include "game/legal_lists.hpp"
#include "game/state.hpp"
#include "game/view.hpp"
#include "game/worker_pool.hpp"

namespace game {

// How a batch restarts an env whose game has ended: the autoreset modes of Gymnasium's vector envs.
enum class Autoreset : std::uint8_t {
    // The step that ends a game shows its final view; the env's next step starts a new game and
    // plays no action.
    NextStep,
    // The step that ends a game writes its final view aside (the fields' kept arrays) and shows
    // the new game's first view.
    SameStep,
    // A game that ended stays over until reset starts a new one; an action for it is refused.
    Disabled,
};
// Their names, by Autoreset: the values of Gymnasium's AutoresetMode.
inline constexpr std::array<std::string_view, 3> AUTORESET_NAMES = {"NextStep", "SameStep",
                                                                    "Disabled"};

// What the seat an env shows is paid when its game ends (and 0 on every other step).
enum class Reward : std::uint8_t {
    Score,  // its final score
    Win,    // its win share (win_share): 1 shared equally by the seats with the best score
};
// Their names, by Reward.
inline constexpr std::array<std::string_view, 2> REWARD_NAMES = {"score", "win"};
// What an env that ends the game on an illegal move pays the mover, by Reward: below every reward
// of that kind (a seat's score is at worst -88, a win share at worst 0).
inline constexpr std::array<float, 2> ILLEGAL_MOVE_REWARDS = {-89, -1};

// The reward of `seat` in a game that ended with `scores`.
float reward_of(Reward reward, const std::array<std::int16_t, NUM_AGENTS>& scores,
                std::size_t seat);

// A bot of a pool of opponents, drawn with probability weight / (the pool's sum of weights).
struct WeightedBot {
    BotSpec bot;
    double weight = 1;
};

// The most random placements that may open a game of a batch (Seating::opening). After 40 random
// placements about one game in 40 has a seat with no move left, and an opening that leaves the
// caller none is drawn again, which at that length is rare.
inline constexpr std::size_t MAX_OPENING = 40;

// Which seats the caller plays, and what it is paid.
struct Seating {
    // opponents[k - 1] plays the seat k turns after the caller's seat: one of the engine's bots as
    // bot_named names them, or BotKind::Caller for a seat that the caller plays too. All three
    // the caller's (the default) is self-play.
    std::array<BotSpec, NUM_AGENTS - 1> opponents{BotSpec{BotKind::Caller},
                                                  BotSpec{BotKind::Caller},
                                                  BotSpec{BotKind::Caller}};
    // The caller's seat in every game. Without one, when the engine plays a seat, the seat
    // rotates, one seat on per game, from a seat drawn uniformly from the env's generator for its
    // first game after (re)seeding; self-play draws nothing and puts the caller's seat at 0.
    std::optional<std::size_t> seat;
    Reward reward = Reward::Score;
    // When not empty, the engine's bots that play the opponents instead: each of the three seats
    // of every game is drawn from the pool when the game starts, from the env's generator (a
    // league of past versions of a learner, say). None of them is the caller's.
    std::vector<WeightedBot> pool{};
    // Uniform random placements that begin every game, from the env's generator, before the
    // first decision (random_opening; at most MAX_OPENING), so that bots that draw nothing still
    // meet in many positions. An opening after which the caller would never move is drawn again.
    std::size_t opening = 0;
};

struct BatchStep {
    std::optional<Refusal> refused;  // then no env was stepped
    std::size_t finished = 0;  // envs whose game ended in this step
};

class Batch {
public:
    // num_threads is clamped to [1, num_envs]. Every env's generator is seeded from (seed, its
    // index). Nothing is written until reset. Throws std::bad_alloc when num_envs envs do not fit
    // in memory, and std::system_error when the threads cannot start; a seat of 4 or more stops
    // fatally.
    // The candidates layout needs candidates to show, and a pool no caller's seat: both stop
    // fatally otherwise, as an opening over MAX_OPENING does.
    Batch(std::size_t num_envs, std::size_t num_threads, ViewLayout layout, std::uint64_t seed,
          const Seating& seating = {}, Autoreset autoreset = Autoreset::NextStep);
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    // The memory an env takes, besides the arrays its caller owns.
    static std::size_t bytes_per_env(ViewLayout layout, const Seating& seating);

    std::size_t size() const { return envs_.size(); }
    std::size_t num_threads() const { return pool_.num_threads(); }
    ViewLayout layout() const { return layout_; }
    Autoreset autoreset() const { return autoreset_; }

    // Starts a new game in every env, or only in those whose byte of `only` is not 0, and writes
    // every env's view (so that `out` need hold nothing from an earlier call); what a step ended
    // is zeroed. `seeds` is empty or holds one entry per env: a seed seeds that env's generator
    // again from (seed, env index); without one, the generator carries on.
    void reset(const FieldArrays& out, std::span<const std::optional<std::uint64_t>> seeds = {},
               const std::uint8_t* only = nullptr);

    // The opponents of every game from its next start on, as Seating's opponents and pool; the
    // games under way keep theirs. The caller's seats must stay the same (fatal otherwise).
    void set_opponents(const std::array<BotSpec, NUM_AGENTS - 1>& opponents,
                       std::vector<WeightedBot> pool);

    // Plays actions[i] (a grid index; in the candidates layout, the number of one of env i's
    // candidates as the last view showed them) in env i and on to the caller's next decision, and writes
    // every env's view. An env whose game ended in the previous step starts a new game instead,
    // whatever its action (Autoreset::NextStep). If any action is not legal, the first such env is
    // reported and nothing is stepped or written. The arrays of the indices layout are both
    // written; those of the others are not there.
    BatchStep step(std::span<const std::int64_t> actions, const FieldArrays& out);

    // The first env whose action would be refused.
    std::optional<Refusal> check(std::span<const std::int64_t> actions) const;

    // Ends the worker threads; later calls run on the calling thread.
    void stop_threads() { pool_.stop(); }

    // The check that reset and step ask whether to stop early (see WorkerPool::run), also during a
    // bot's search. A stopped call throws Interrupted and leaves the envs it did not finish as
    // they were, or part way through the bots' moves, so the games are no longer one step apart:
    // only a reset brings them together again.
    void stop_when(StopCheck* check) { pool_.stop_when(check); }

    const std::mt19937_64& generator(std::size_t env) const { return generators_[env]; }
    const State& state(std::size_t env) const { return envs_[env].state; }
    // The seat that env shows: the caller's seat to move, or the caller's that moved last.
    std::size_t seat(std::size_t env) const { return envs_[env].seat; }
    // Whether the env's game is over, waiting for its restart.
    bool over(std::size_t env) const { return envs_[env].state.is_terminal(); }
    View view(std::size_t env) const;

private:
    struct Env {
        State state;
        std::uint8_t seat = 0;    // the seat shown
        std::uint8_t anchor = 0;  // the caller's seat, from which the opponents sit
        // The caller's seat in the env's next game, once drawn.
        std::optional<std::uint8_t> next_anchor;
        // Who plays each seat of the game, by seat.
        Players players{};
        // The grid indices of the candidates shown, in the candidates layout.
        std::array<std::uint16_t, MAX_CANDIDATES> candidates{};
        std::uint8_t num_candidates = 0;
    };

    // A new game in the env, played on to the caller's first decision.
    void start(std::size_t env);
    // Writes row `env` of the views of `out`, with the mover's candidates when they are shown.
    void show(std::size_t env, const FieldArrays& out);
    // show's work when the mover's candidates are shown, out of line so that their inputs (12 KB)
    // take stack only then, not in every view of a batch that shows none.
    [[gnu::noinline]] void show_candidates(std::size_t env, const FieldArrays& out);
    // The bot that plays a seat of the caller's opponents, `k` turns after it, in a new game.
    const BotSpec& draw_opponent(std::size_t env, std::size_t k);
    // Plays the caller's legal action, if any, then the bots on to the caller's next decision,
    // and keeps the seat shown; false once the game is over.
    bool play(std::size_t env, std::optional<std::size_t> action);
    // The legal placements of one of the caller's seats, kept between its turns as Game keeps a
    // seat's mask: the placements of the pieces in hand are written when its turn comes.
    ActionMask& mask(std::size_t env, std::size_t seat) { return masks_[mask_index(env, seat)]; }
    const ActionMask& mask(std::size_t env, std::size_t seat) const {
        return masks_[mask_index(env, seat)];
    }
    std::size_t mask_index(std::size_t env, std::size_t seat) const;
    // Runs change(i) on every env, or on those whose byte of `only` is not 0, after zeroing what
    // the call ended for it, then writes every env's view.
    template <class Change>
    void update(const FieldArrays& out, const std::uint8_t* only, Change&& change);
    // Where views list their legal placements: in the indices layout only.
    LegalLists* listed() { return layout_.mask == MaskLayout::Indices ? &lists_ : nullptr; }
    // For a game that is over: its scores, placements and reward, into row `env` of `out`.
    void write_result(std::size_t env, const FieldArrays& out) const;

    SizedByCaller<Env> envs_;
    SizedByCaller<std::mt19937_64> generators_;
    // The caller's masks: mask_slot_[k] of each env's callers_ for the seat k turns after its
    // anchor, the caller's seat (-1 for a bot's).
    SizedByCaller<ActionMask> masks_;
    std::size_t callers_ = 0;
    std::array<std::int8_t, NUM_AGENTS> mask_slot_{};
    Seating seating_;
    // Bot i of the pool is drawn for a key (a uniform 64-bit number) below pool_below_[i] and not
    // below those before it: the pool's shares, worked out once.
    std::vector<std::uint64_t> pool_below_;
    ViewLayout layout_;
    Autoreset autoreset_;
    LegalLists lists_;  // for the indices layout only
    WorkerPool pool_;   // made after every allocation (see the constructor)
    StopHook stop_;     // a bot's search asks the pool whether the job is being given up
};

}  // namespace game
