#include "game/bots.hpp"

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
    const IndexRange largest = largest_orientations(legal);
    std::optional<std::size_t> best;
    std::size_t best_score = 0;
    for (std::size_t o = largest.start; o < largest.end; ++o) {
        legal.anchors(o).for_each([&](std::size_t p) {
            const std::size_t g = o * CELLS_PER_ORIENTATION + p;
            const std::size_t score = score_of(set.actions[*set.grid[g]].cells);
            // Grid indices come in ascending order, so the first of equal scores is kept.
            if (!best || score > best_score) {
                best = g;
                best_score = score;
            }
        });
    }
    return best;
}

IndexRange largest_orientations(const ActionMask& legal) {
    const ActionSet& set = ACTION_SET();
    std::size_t end = NUM_ORIENTATIONS;
    while (end > 0 && legal.anchors(end - 1).is_empty()) --end;
    if (end == 0) return {0, 0};
    std::size_t start = end - 1;
    while (start > 0 && set.shapes[start - 1].num_cells == set.shapes[end - 1].num_cells) --start;
    return {start, end};
}

}  // namespace game
