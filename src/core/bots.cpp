// tavlok._core's reference bots, and the arena that plays them against each other with the
// interpreter lock released; Ctrl-C stops an arena within a game or so, and it returns nothing.
#include "game/bots.hpp"

#include <nanobind/stl/array.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>

#include "core.hpp"
#include "game/arena.hpp"
#include "interrupt.hpp"

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
    const std::size_t num_threads = index_in(threads, "thread count", 1, MAX_THREADS);
    std::optional<ArenaScores> scores;
    std::optional<ArenaSeats> seats;
    try {
        scores = new_array<ArenaScores>({count, NUM_AGENTS});
        seats = new_array<ArenaSeats>({count, NUM_AGENTS});
    } catch (const std::bad_alloc&) {
        raise_too_large(std::to_string(count) + " games",
                        static_cast<double>(count) * NUM_AGENTS * (sizeof(std::int16_t) + 1),
                        "for their scores and seats");
    }
    const std::size_t pool_threads = std::max<std::size_t>(1, std::min(num_threads, count));
    try {
        without_lock(
            [&] {
                game::WorkerPool pool(pool_threads);
                pool.stop_when(&python_signals());
                game::play_arena(bots, seed, first, count, pool, scores->data(), seats->data());
            },
            {"the arena", "games", "their results are not returned"});
    } catch (const std::system_error& failure) {
        raise_threads_failed(pool_threads, failure);
    }
    return {*std::move(scores), *std::move(seats)};
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
