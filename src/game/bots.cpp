#include "game/bots.hpp"

#include <algorithm>

namespace game {

std::optional<std::size_t> random_action(const State& state, std::uint64_t key) {
    if (state.is_terminal()) return std::nullopt;
    return state.legal_mask().grid_at_fraction(key);
}

GreedyScore::GreedyScore(const TableView& seen) : own_(seen.board(0)), others_(seen.others()) {
    for (std::size_t k = 1; k < NUM_AGENTS; ++k) {
        const Bitboard around = (own_ | others_).minus(seen.board(k));
        theirs_[k - 1] = corner_cells(seen.board(k), open_cells(seen.board(k), around));
    }
}

std::optional<std::size_t> greedy_action(const State& state) {
    if (state.is_terminal()) return std::nullopt;
    const ActionSet& set = ACTION_SET();
    const ActionMask legal = state.legal_mask();
    const GreedyScore score_of(state.seen_by(state.seat()));

    std::size_t largest = 0;
    legal.for_each_grid([&](std::size_t g) {
        largest = std::max<std::size_t>(largest, set.shapes[g / CELLS_PER_ORIENTATION].num_cells);
    });
    std::optional<std::size_t> best;
    std::size_t best_score = 0;
    legal.for_each_grid([&](std::size_t g) {
        if (set.shapes[g / CELLS_PER_ORIENTATION].num_cells != largest) return;
        const std::size_t score = score_of(set.actions[*set.grid[g]].cells);
        // Grid indices come in ascending order, so the first of equal scores is kept.
        if (!best || score > best_score) {
            best = g;
            best_score = score;
        }
    });
    return best;
}

}  // namespace game
