// Matches between bots, for evaluation: many seeded games, their seats rotating from game to game,
// played on a worker pool; with some bots the caller's, in lockstep (LockstepArena).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <random>
#include <span>
#include <string>

#include "game/players.hpp"
#include "game/legal_lists.hpp"
#include "game/state.hpp"
#include "game/view.hpp"
#include "game/worker_pool.hpp"

namespace game {

// Where each of a list of four bots sits in game `game_index`: bot i at seat (i + game) % 4, so
// that over any four consecutive games every bot plays every seat once.
std::array<std::uint8_t, NUM_AGENTS> arena_seats(std::size_t game_index);
// The bot (its place in the list) at `seat` in game `game_index`.
std::size_t bot_at(std::size_t seat, std::size_t game_index);

// What the games of an arena share.
struct ArenaSetup {
    std::array<BotSpec, NUM_AGENTS> bots{};
    std::uint64_t seed = 0;
    // The first `opening` placements of every game are uniform random ones, drawn from the game's
    // generator (all of them, should the game end sooner). Bots that draw nothing, such as the
    // greedy bot, would otherwise play the same game whenever they sit in the same seats; after
    // a random opening they meet in many positions.
    std::size_t opening = 0;
};

// A new game with `placements` uniform random placements drawn from `generator`, or fewer when
// the game ends first.
State random_opening(std::size_t placements, std::mt19937_64& generator);

// Plays the games first to first + count - 1 of an arena between four engine bots. For the i-th of
// them writes the final scores by seat to scores[4 i .. 4 i + 3] and the seat of each bot to
// seats[4 i .. 4 i + 3]. A game depends only on the setup and its index, never on how the games
// are split between calls or threads.
void play_arena(const ArenaSetup& setup, std::size_t first, std::size_t count, WorkerPool& pool,
                std::int16_t* scores, std::uint8_t* seats);

// The most games a LockstepArena plays side by side.
inline constexpr std::size_t MAX_WINDOW = 65536;
static_assert(MAX_WINDOW <= MAX_LISTS);

// An arena in which some bots are the caller's (BotKind::Caller). Up to `window` games are played
// side by side; when one ends, its place goes to the next game not yet begun. Each round the
// engine moves its own bots in every game until each waits for one of the caller's (advance);
// then the caller selects the games waiting for a bot of its own, reads them (observe, state) and
// answers every one of them at once (play).
//
// Games are seated, seeded and opened as in play_arena, so a game depends only on the setup, its
// index and the caller's answers to it (not on the threads or the window, as long as the caller
// answers a position the same way whatever games come with it).
class LockstepArena {
public:
    // The result of game first + i is written to scores[4 i .. 4 i + 3] (final scores by seat)
    // and seats[4 i .. 4 i + 3] (the seat of each bot), buffers of 4 num_games entries that the
    // caller owns and keeps alive. When `histories` is given (MAX_PLACEMENTS num_games entries,
    // also the caller's), game first + i's grid indices in order go to
    // histories[MAX_PLACEMENTS i ..], the rest of its row left as the caller filled it, so that
    // games can be kept and replayed. `window` is clamped to [1, min(num_games,
    // MAX_WINDOW)]. Throws std::bad_alloc when the window's games do not fit in memory, and
    // std::system_error when the threads cannot start.
    LockstepArena(const ArenaSetup& setup, std::size_t first, std::size_t num_games,
                  std::size_t window, std::size_t num_threads, std::int16_t* scores,
                  std::uint8_t* seats, std::int32_t* histories = nullptr);

    std::size_t num_games() const { return num_games_; }
    std::size_t window() const { return slots_.size(); }
    // Games over, with their results written.
    std::size_t finished() const { return finished_; }

    // The check that every later call asks whether to stop early (WorkerPool::stop_when); a call
    // it stops throws Interrupted, and the arena cannot go on.
    void stop_when(StopCheck* check) { pool_.stop_when(check); }

    // Plays the engine's bots in every game under way until each waits for a bot of the caller's,
    // writing the result of every game that ends and beginning the next in its place. Returns
    // whether any game is still to be played. Clears the selection.
    bool advance();

    // Selects the games under way in which a bot in `bots` (bit i for bot i) is to move, in window
    // order, and returns how many there are. observe, state and play work on the selection.
    std::size_t select(std::uint8_t bots);
    std::size_t selected() const { return rows_.size(); }
    std::size_t game_of(std::size_t row) const { return slot(row).game; }
    const State& state(std::size_t row) const { return slot(row).state; }

    // Writes the selected games' views, as their movers see them, to the view fields of `out`
    // that it has arrays for (one row per selected game; legal placements as lists, with
    // legal_offsets, selected + 1 entries, written and legal_indices not), and returns how many
    // legal grid indices they have together: the size of the array for write_legal_indices.
    std::size_t observe(const FieldArrays& out);
    // Writes the selected games' legal grid indices at the offsets that observe wrote.
    void write_legal_indices(const std::int32_t* offsets, std::int32_t* indices);

    // Plays actions[i] (a grid index) in the i-th selected game; actions.size() must be the
    // number selected. When the rules refuse some, the first of them is returned; those games
    // wait as they were, and the others have moved. Clears the selection.
    std::optional<Refusal> play(std::span<const std::int64_t> actions);

private:
    struct Slot {
        State state;
        std::mt19937_64 generator;
        std::size_t game = 0;
        bool playing = false;
    };

    const Slot& slot(std::size_t row) const;
    // Puts the next game not yet begun into the slot; false when none is left.
    bool begin_next(Slot& slot);

    ArenaSetup setup_;
    std::size_t first_;
    std::size_t num_games_;
    std::int16_t* scores_;
    std::uint8_t* seats_;
    std::int32_t* histories_;
    std::size_t next_game_ = 0;
    std::size_t finished_ = 0;
    // Sized by the window, which the caller chooses.
    SizedByCaller<Slot> slots_;
    // The selection (slot numbers), and per selected game its legal moves and its refusal.
    SizedByCaller<std::uint32_t> rows_;
    LegalLists lists_;
    SizedByCaller<std::optional<InvalidAction>> refusals_;
    WorkerPool pool_;
    StopHook stop_;  // a bot's search asks the pool whether the call is being given up
};

}  // namespace game
