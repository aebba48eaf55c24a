// Prints the figures of the action set: orientations, placements per piece kind, grid size.
#include <cstdio>

#include "game/actions.hpp"

int main() {
    const game::ActionSet& set = game::ACTION_SET();
    std::printf("orientations: %zu\n", set.num_orientations());
    std::printf("action grid: (%zu, 20, 20) = %zu grid indices\n", set.num_orientations(),
                set.num_actions());
    std::printf("placements: %zu (%zu grid indices name none)\n", set.actions.size(),
                set.num_actions() - set.actions.size());
    std::printf("%-12s %5s %10s\n", "piece", "cells", "placements");
    for (game::PieceType t : game::ALL_PIECE_TYPES) {
        const game::IndexRange r = set.piece_ranges[game::position(t)];
        std::printf("%-12s %5zu %10zu\n", game::name(t), game::num_cells(t), r.end - r.start);
    }
    std::printf("first moves from a start corner: %zu\n", set.initial_mask.count());
    return 0;
}
