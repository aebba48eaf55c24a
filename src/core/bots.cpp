// tavlok._core's reference bots, one move at a time on a State (the arena plays them in
// arena.cpp).
#include "game/bots.hpp"

#include <optional>

#include "core.hpp"

namespace core {

namespace {

std::size_t move_of(std::optional<std::size_t> action) {
    if (!action) throw nb::value_error("the game is over: no seat has a move");
    return *action;
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
}

}  // namespace core
