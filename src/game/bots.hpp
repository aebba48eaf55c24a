// Reference opponents for evaluation: fixed policies from a position to a grid index. Both
// return nothing once the game is over, when there is no one to move.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/state.hpp"

namespace game {

// Uniform over the legal placements of the seat to move, in ascending grid order; `key` is a
// uniform random 64-bit number, which picks the placement floor(key * n / 2^64) of the n.
std::optional<std::size_t> random_action(const State& state, std::uint64_t key);
// The same pick from legal placements the caller has worked out already (at least one).
std::size_t random_pick(const ActionMask& legal, std::uint64_t key);

// Largest piece first: among the legal placements of the seat to move that use a piece with the
// most cells, the one with the highest
//     (the seat's corner cells after the placement)
//   + (for each opponent, the number of that opponent's corner cells the piece covers),
// where corner cells are those of the placement rule (corner_cells in rules.hpp); ties go to the
// lowest grid index. The first term rewards opening room for later pieces, the second taking
// room from the others.
std::optional<std::size_t> greedy_action(const State& state);

}  // namespace game
