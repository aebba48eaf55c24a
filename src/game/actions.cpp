#include "game/actions.hpp"

#include <string>

#include "game/errors.hpp"

namespace game {

ActionSet ActionSet::build() {
    ActionSet set;
    const Vec<Piece> orientations = generate();
    set.actions.reserve(NUM_ACTIONS);
    std::array<bool, NUM_PIECE_TYPES> seen{};
    for (std::size_t o = 0; o < orientations.size(); ++o) {
        const Piece& piece = orientations[o];
        const Vec<Translation> translations = piece.build_translations();
        const std::size_t start = set.actions.size();
        ActionRange& range = set.piece_ranges[position(piece.piece_type)];
        if (!seen[position(piece.piece_type)]) range.start = start;
        seen[position(piece.piece_type)] = true;
        range.end = start + translations.size();
        for (const Translation& t : translations)
            set.actions.push_back(
                Action{t.cells, o * CELLS_PER_ORIENTATION + t.position, piece.piece_type});
    }
    set.grid.assign(orientations.size() * CELLS_PER_ORIENTATION, std::nullopt);
    for (std::size_t i = 0; i < set.actions.size(); ++i) {
        const std::size_t g = set.actions[i].grid_index;
        check_index(g, set.grid.size());
        set.grid[g] = i;
    }
    if (set.actions.size() != NUM_ACTIONS)
        fatal("action set holds " + std::to_string(set.actions.size()) + " actions, expected " +
              std::to_string(NUM_ACTIONS));
    const Bitboard corner = Bitboard::cell(0, 0);
    for (std::size_t i = 0; i < set.actions.size(); ++i)
        set.initial_mask.set(i, set.actions[i].cells.intersects(corner));
    return set;
}

const ActionSet& ACTION_SET() {
    // A function-local static is initialised exactly once; concurrent first callers block until
    // the builder has finished, and nobody sees a partly built set.
    static const ActionSet set = ActionSet::build();
    return set;
}

Vec<bool> ActionSet::initial_actions() const {
    Vec<bool> mask(actions.size(), false);
    initial_mask.for_each([&](std::size_t i) { mask[i] = true; });
    return mask;
}

Bytes ActionSet::grid_mask(const Vec<bool>& mask) const {
    Bytes bytes(grid.size(), 0);
    const std::size_t n = std::min(mask.size(), actions.size());
    for (std::size_t i = 0; i < n; ++i) {
        const std::size_t g = actions[i].grid_index;
        check_index(g, bytes.size());
        bytes[g] = mask[i] ? 1 : 0;
    }
    return bytes;
}

Bytes ActionSet::grid_mask(const ActionMask& mask) const {
    Bytes bytes(grid.size(), 0);
    mask.for_each([&](std::size_t i) {
        const std::size_t g = actions[i].grid_index;
        check_index(g, bytes.size());
        bytes[g] = 1;
    });
    return bytes;
}

}  // namespace game
