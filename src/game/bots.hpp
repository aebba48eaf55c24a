// Reference opponents for evaluation: fixed policies from a position to a grid index. Both
// return nothing once the game is over, when there is no one to move.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/state.hpp"

namespace game {

// Uniform over the legal placements of the seat to move, in ascending grid order; `key` is a
// uniform random 64-bit number, which picks the placement floor(key * n / 2^64) of the n
// (ActionMask::grid_at_fraction).
std::optional<std::size_t> random_action(const State& state, std::uint64_t key);

// Greedy's score of a placement for the observer of a view:
//     (the observer's corner cells after the placement)
//   + (for each opponent, the number of that opponent's corner cells the piece covers),
// where corner cells are those of the placement rule (corner_cells in rules.hpp). The first term
// rewards opening room for later pieces, the second taking room from the others. What does not
// depend on the placement is worked out once, when the score is made for a position.
class GreedyScore {
public:
    explicit GreedyScore(const TableView& seen);

    // The score of the placement that covers `cells`, legal for the observer. Inlined into the
    // search's move ordering, which asks it for every legal placement of a node it expands.
    [[gnu::always_inline]] std::size_t operator()(const Bitboard& cells) const {
        const Bitboard after = own_ | cells;
        std::size_t score = corner_cells(after, open_cells(after, others_)).count();
        for (const Bitboard& corners : theirs_) score += (cells & corners).count();
        return score;
    }

    // Entry k - 1: the corner cells of the seat k turns after the observer, in its frame.
    const std::array<Bitboard, NUM_AGENTS - 1>& their_corners() const { return theirs_; }

private:
    Bitboard own_, others_;
    // Every opponent's corner cells, in the observer's frame as the rest is.
    std::array<Bitboard, NUM_AGENTS - 1> theirs_;
};

// Largest piece first: among the legal placements of the seat to move that use a piece with the
// most cells, the one with the highest GreedyScore; ties go to the lowest grid index.
std::optional<std::size_t> greedy_action(const State& state);

// Greedy's order of moves, as keys that sort the better move higher: the piece's size, then
// GreedyScore, then the lower grid index. The highest key is greedy_action's move.
constexpr std::uint64_t greedy_key(std::size_t grid_index, std::size_t cells, std::size_t score) {
    return (std::uint64_t{cells} << 48) | (std::uint64_t{score} << 24) |
           (NUM_GRID_INDICES - grid_index);
}
constexpr std::size_t grid_index_of(std::uint64_t key) {
    return NUM_GRID_INDICES - static_cast<std::size_t>(key & 0xffffff);
}

// Calls visit(greedy_key) for every legal placement of the seat to move, size by size from the
// largest (orientations come in the order of their pieces, which is by size). Once visit returns
// true, that enough keys are in hand, the walk ends with the size under way. Inlined, so that
// best_greedy_keys, built also for processors that count bits in one instruction, counts the cells
// of every score with it.
template <class Visit>
[[gnu::always_inline]] inline void for_each_greedy_key(const State& state, Visit&& visit) {
    const ActionSet& set = ACTION_SET();
    const ActionMask legal = state.legal_mask();
    const GreedyScore score_of(state.seen_by(state.seat()));
    std::size_t enough_at = 0;  // the size at which visit said enough
    for (std::size_t o = NUM_ORIENTATIONS; o-- > 0;) {
        const std::size_t cells = set.shapes[o].num_cells;
        if (cells < enough_at) break;
        legal.anchors(o).for_each([&](std::size_t p) {
            const std::size_t g = o * CELLS_PER_ORIENTATION + p;
            if (visit(greedy_key(g, cells, score_of(set.actions[*set.grid[g]].cells))) &&
                enough_at == 0)
                enough_at = cells;
        });
    }
}

// The moves a position is searched with, and that the net bot chooses among: the `wanted` highest
// greedy keys (at most MAX_CANDIDATES) of the placements that for_each_greedy_key walks, highest
// first. A few sizes' worth of placements at most are scored, and nothing is allocated.
inline constexpr std::size_t MAX_CANDIDATES = 64;
struct Candidates {
    std::array<std::uint64_t, MAX_CANDIDATES> keys;
    std::size_t size = 0;
};
void best_greedy_keys(const State& state, std::size_t wanted, Candidates& out);

// The orientations of the largest pieces that have a legal placement in `legal`, as one run (the
// last one with a legal anchor and the others of its size before it); empty for an empty mask.
IndexRange largest_orientations(const ActionMask& legal);

}  // namespace game
