#include "game/bots.hpp"

#include <algorithm>
#include <array>

namespace game {

std::optional<std::size_t> random_action(const State& state, std::uint64_t key) {
    if (state.is_terminal()) return std::nullopt;
    return random_pick(state.legal_mask(), key);
}

std::size_t random_pick(const ActionMask& legal, std::uint64_t key) {
    return legal.grid_at_fraction(key);
}

std::optional<std::size_t> greedy_action(const State& state) {
    if (state.is_terminal()) return std::nullopt;
    const ActionSet& set = ACTION_SET();
    const ActionMask legal = state.legal_mask();
    const TableView seen = state.seen_by(state.seat());
    const Bitboard& own = seen.board(0);
    const Bitboard others = seen.others();

    // Every opponent's corner cells, seen from the mover's frame as the rest is.
    std::array<Bitboard, NUM_AGENTS - 1> theirs;
    for (std::size_t k = 1; k < NUM_AGENTS; ++k) {
        const Bitboard around = (own | others).minus(seen.board(k));
        theirs[k - 1] = corner_cells(seen.board(k), open_cells(seen.board(k), around));
    }

    std::size_t largest = 0;
    legal.for_each_grid([&](std::size_t g) {
        largest = std::max<std::size_t>(largest, set.shapes[g / CELLS_PER_ORIENTATION].num_cells);
    });
    std::optional<std::size_t> best;
    std::size_t best_score = 0;
    legal.for_each_grid([&](std::size_t g) {
        if (set.shapes[g / CELLS_PER_ORIENTATION].num_cells != largest) return;
        const Bitboard& cells = set.actions[*set.grid[g]].cells;
        const Bitboard after = own | cells;
        std::size_t score = corner_cells(after, open_cells(after, others)).count();
        for (const Bitboard& corners : theirs) score += (cells & corners).count();
        // Grid indices come in ascending order, so the first of equal scores is kept.
        if (!best || score > best_score) {
            best = g;
            best_score = score;
        }
    });
    return best;
}

}  // namespace game
