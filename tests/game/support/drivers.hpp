// What the engine's suites do over and over: name grid indices, play seeded random moves, place a
// piece whatever the mask says, compare two games field by field (and batch_outputs.hpp: own a
// batch's outputs).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "game.hpp"
#include "game/state.hpp"
#include "support/batch_outputs.hpp"
#include "support/naive_model.hpp"

namespace game::support {

// Orientation indices of the catalogue that the suites place by name.
constexpr std::size_t MONOMINO = 0;
constexpr std::size_t DOMINO_FLAT = 1;      // XX
constexpr std::size_t DOMINO_STANDING = 2;  // X / X
constexpr std::size_t TROMINO_L_FIRST = 3;  // XX / X.
constexpr std::size_t TROMINO_L_LAST = 6;
constexpr std::size_t TROMINO_I_FLAT = 7;  // XXX
constexpr std::size_t PENTOMINO_I_FLAT = 89;

constexpr std::size_t grid(std::size_t orientation, std::size_t row, std::size_t col) {
    return orientation * 400 + row * 20 + col;
}

// The mask's legal grid indices in ascending order.
std::vector<std::size_t> legal_list(const ActionMask& mask);

// Seeded uniform random legal moves from a new game; stops after `placements` or at the end.
State random_state(unsigned seed, std::size_t placements = MAX_PLACEMENTS);

// The rules model given the state's moves, each seat observed as its turn comes; the test fails
// if the model finds another seat to move than the state does.
naive::Model model_of(const State& state);

// Places grid index g for `seat` whatever its mask says, by granting that one action first: the
// positions some tests need are far from where a short legal game gets, or break the rules on
// purpose.
void force(Game& game, std::size_t seat, std::size_t g);

// Passes the turns of done seats as a caller of Game does: observes the seat to move and passes
// it while it is done. Returns false, passing no further, once all four are done.
bool settle(Game& game);

// Every field of every agent, the boards each seat sees and the game's own fields; the failure
// names the first difference.
testing::AssertionResult same_game(const Game& a, const Game& b);

}  // namespace game::support
