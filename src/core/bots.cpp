// tavlok._core's bots, one move at a time on a State (the arena plays them in arena.cpp).
#include "game/bots.hpp"

#include <nanobind/stl/string.h>

#include <chrono>
#include <optional>
#include <string>

#include "core.hpp"
#include "game/bot_spec.hpp"
#include "game/mcts.hpp"
#include "interrupt.hpp"

namespace core {

namespace {

std::size_t move_of(std::optional<std::size_t> action) {
    if (!action) throw nb::value_error("the game is over: no seat has a move");
    return *action;
}

// The search bot's move, searched with the interpreter lock released. Ctrl-C (a signal handler
// that raises) ends the search and raises, with a note, instead of returning a move.
std::size_t mcts_move(const game::State& state, const std::string& name, std::uint64_t seed) {
    game::BotSpec bot = engine_bot(name);
    if (bot.kind != game::BotKind::Mcts)
        throw nb::value_error((game::quoted(name) + " is not the search bot, 'mcts'").c_str());
    bot.mcts.seed = seed;
    // The caller's State could be changed by another thread while the lock is released.
    const game::State position = state;
    const bool timed = bot.mcts.budget_kind == game::BudgetKind::Milliseconds;
    std::optional<std::size_t> action;
    without_lock(
        [&] {
            // The search asks about once a millisecond; the signal handlers need the lock, which
            // is taken only every StopCheck::PERIOD.
            using Clock = std::chrono::steady_clock;
            const Clock::time_point start = Clock::now();
            Clock::time_point next_check = start + game::StopCheck::PERIOD;
            const game::MctsResult result = game::Mcts(bot.mcts).search(position, [&] {
                const Clock::time_point now = Clock::now();
                if (now < next_check) return false;
                next_check = now + game::StopCheck::PERIOD;
                return python_signals().stop_requested();
            });
            if (result.stopped) {
                const auto spent =
                    std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
                throw game::Interrupted(
                    timed ? static_cast<std::size_t>(spent.count()) : result.playouts,
                    bot.mcts.budget);
            }
            action = result.action;
        },
        {"the search", timed ? "milliseconds" : "playouts", "it returns no move"});
    return move_of(action);
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
    module.def("mcts_action", mcts_move, "state"_a, "bot"_a = "mcts", "seed"_a = 0,
               "The move of search bot `bot` ('mcts' with its settings, see bot_name) for the\n"
               "seat to move, its search seeded with `seed`. With a budget of playouts it\n"
               "depends only on the position, the settings and the seed. Searches with the\n"
               "interpreter lock released; Ctrl-C ends it with KeyboardInterrupt, and no move.");
}

}  // namespace core
