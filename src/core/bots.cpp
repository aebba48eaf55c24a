// tavlok._core's reference bots, and the arena that plays them against each other with the
// interpreter lock released.
#include "game/bots.hpp"

#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <utility>

#include "core.hpp"
#include "game/arena.hpp"

namespace core {

namespace {

using game::NUM_AGENTS;

// One row of four per game.
using ArenaScores = nb::ndarray<nb::numpy, std::int16_t, nb::shape<-1, NUM_AGENTS>>;
using ArenaSeats = nb::ndarray<nb::numpy, std::uint8_t, nb::shape<-1, NUM_AGENTS>>;

std::size_t move_of(std::optional<std::size_t> action) {
    if (!action) throw nb::value_error("the game is over: no seat has a move");
    return *action;
}

std::array<game::BotKind, NUM_AGENTS> bot_kinds(const std::array<std::string, NUM_AGENTS>& names) {
    std::array<game::BotKind, NUM_AGENTS> kinds;
    for (std::size_t i = 0; i < NUM_AGENTS; ++i) {
        const std::optional<game::BotKind> kind = game::bot_named(names[i]);
        if (!kind)
            raise_value_error("unknown bot '%s': the engine plays 'greedy' and 'random'",
                              names[i].c_str());
        kinds[i] = *kind;
    }
    return kinds;
}

std::pair<ArenaScores, ArenaSeats> play_arena(const std::array<std::string, NUM_AGENTS>& names,
                                              std::uint64_t seed, IndexArgument first_game,
                                              IndexArgument game_count, IndexArgument threads) {
    constexpr std::uint64_t MAX_GAMES = std::uint64_t{1} << 40;
    const std::array<game::BotKind, NUM_AGENTS> bots = bot_kinds(names);
    const std::size_t first = index_below(first_game, "first game", MAX_GAMES);
    const std::size_t count = index_below(game_count, "game count", MAX_GAMES);
    const std::size_t num_threads = index_below(threads, "thread count", 1025);
    if (num_threads == 0) throw nb::value_error("an arena needs at least one thread");
    auto scores = new_array<ArenaScores>({count, NUM_AGENTS});
    auto seats = new_array<ArenaSeats>({count, NUM_AGENTS});
    {
        nb::gil_scoped_release unlocked;
        game::WorkerPool pool(std::max<std::size_t>(1, std::min(num_threads, count)));
        game::play_arena(bots, seed, first, count, pool, scores.data(), seats.data());
    }
    return {scores, seats};
}

}  // namespace

void bind_bots(nb::module_& module) {
    using namespace nb::literals;
    module.def(
        "greedy_action",
        [](const game::State& state) { return move_of(game::greedy_action(state)); }, "state"_a,
        "The greedy bot's move for the seat to move: largest piece first, then most own corner\n"
        "cells after the move plus opponents' corner cells covered, then lowest grid index.");
    module.def(
        "random_action",
        [](const game::State& state, std::uint64_t key) {
            return move_of(game::random_action(state, key));
        },
        "state"_a, "key"_a,
        "The legal move number floor(key * n / 2**64) of the n, ascending, for a random 64-bit\n"
        "key: uniform when the key is.");
    module.def(
        "play_arena", play_arena, "bots"_a, "seed"_a, "first"_a, "count"_a, "threads"_a,
        "Plays games first to first + count - 1 between four bots (names) with the\n"
        "interpreter lock released; returns (scores, seats): count x 4 int16 scores by seat\n"
        "and count x 4 uint8 seats of each bot.");
}

}  // namespace core
