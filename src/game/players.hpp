// Who plays a seat: the caller, or one of the engine's bots (random, greedy, the net or the
// search); the move of an engine bot; and the one loop that moves the engine's bots through a game
// until a seat of the caller's is to move, which the batch and the arena share. The names users
// write for the bots are read and written in bot_names.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>

#include "game/bots.hpp"
#include "game/mcts.hpp"
#include "game/net.hpp"
#include "game/random.hpp"  // the game's generator, seeded_generator
#include "game/state.hpp"
#include "game/worker_pool.hpp"

namespace game {

enum class BotKind : std::uint8_t {
    Random,
    Greedy,
    // Monte-Carlo tree search (mcts.hpp).
    Mcts,
    // A network that scores the search's candidate moves (net.hpp).
    Net,
    // Played by the caller (a policy in Python), not by the engine.
    Caller,
};

// One of the engine's bots, or the caller: its kind and the settings of the kinds that have any.
struct BotSpec {
    BotKind kind = BotKind::Random;
    // The search's settings, for BotKind::Mcts. Its seed is not used: every search is seeded from
    // a number drawn from the game's generator (bot_action), so that the games differ and still
    // replay from their seed.
    MctsOptions mcts{};
    // The net's weights, for BotKind::Net; null plays the built-in ones. Shared, so that a bot
    // copies cheaply into every game and thread that plays it.
    std::shared_ptr<const NetWeights> net{};
    // For BotKind::Net: 0 plays the candidate scored highest; above 0, one drawn with probability
    // softmax(score / temperature) by a number from the game's generator (bot_action).
    double temperature = 0;

    // The weights the net plays: `net`, or the built-in ones when it is null.
    const NetWeights& net_weights() const;
};

// The move of engine bot `bot` for the seat to move; a random bot, a search for its seed and a net
// with a temperature draw one number from `generator`. A search asks `stop` between playouts, and
// when it says to stop, throws Interrupted(0, 1) instead of moving. A caller's bot, or a game that
// is over, stops fatally.
std::size_t bot_action(const BotSpec& bot, const State& state, std::mt19937_64& generator,
                       const StopHook& stop = {});

// Who plays each seat of a game, by seat.
using Players = std::array<BotSpec, NUM_AGENTS>;

// Plays a game on to the caller's next turn: `action`, a legal placement of the caller's seat to
// move (none when the caller has not just moved: a new game, or one that a checked State::apply
// moved on), then the moves of the engine's bots, players[s] at seat s, until a seat of the
// caller's is to move or the game is over. Returns whether the game goes on. The bots draw from
// `generator` as bot_action does, so a game is the one that State::apply plays from the same
// moves; a search asks `stop`, and Interrupted leaves the game after the moves made so far.
//
// Each seat whose turn comes is asked whether it can move (State::apply_legal): a seat of the
// caller's by caller_can_move(seat, seen), which must answer as can_place does, so that a caller
// who works that seat's legal placements out anyway works them out once; a random bot by working
// out the legal placements it then picks from, also once.
template <class CallerCanMove>
bool play_bots(State& state, std::optional<std::size_t> action, const Players& players,
               std::mt19937_64& generator, const StopHook& stop, CallerCanMove&& caller_can_move) {
    // The legal placements of a random bot to move, or, before its first piece, those of the start
    // corner (first_piece).
    CountedAnchors bot_legal;
    bool first_piece = false;
    const auto can_move = [&](std::size_t seat) {
        const TableView seen = state.seen_by(seat);
        first_piece = seen.observer().pieces_placed == 0;
        if (first_piece) return true;
        switch (players[seat].kind) {
            case BotKind::Caller:
                return caller_can_move(seat, seen);
            case BotKind::Random:
                return write_legal_anchors(seen, bot_legal);
            default:
                return can_place(seen);
        }
    };
    if (action)
        state.apply_legal(*action, can_move);
    else if (!state.is_terminal() && players[state.seat()].kind == BotKind::Random)
        can_move(state.seat());
    while (!state.is_terminal()) {
        const BotSpec& bot = players[state.seat()];
        if (bot.kind == BotKind::Caller) return true;
        if (bot.kind != BotKind::Random) {
            state.apply_legal(bot_action(bot, state, generator, stop), can_move);
            continue;
        }
        // As random_action picks, from the placements worked out when the bot's turn came.
        const std::uint64_t key = generator();
        state.apply_legal(first_piece ? ACTION_SET().initial_mask.grid_at_fraction(key)
                                      : bot_legal.grid_at_fraction(key),
                          can_move);
    }
    return false;
}

}  // namespace game
