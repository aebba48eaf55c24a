#include "game/actions.hpp"

#include <string>

#include "game/errors.hpp"

namespace game {

namespace {

// The cells of a shape as offset slots, adding offsets not seen before to `offsets`.
OrientationShape shape_of(u128 shape, Vec<std::size_t>& offsets) {
    OrientationShape result;
    for (std::size_t bit = 0; bit < 128; ++bit) {
        if (((shape >> bit) & 1u) == 0) continue;
        std::size_t slot = 0;
        while (slot < offsets.size() && offsets[slot] != bit) ++slot;
        if (slot == offsets.size()) offsets.push_back(bit);
        check_index(result.num_cells, result.offset_slots.size());
        result.offset_slots[result.num_cells++] = static_cast<std::uint8_t>(slot);
    }
    return result;
}

}  // namespace

bool ActionMask::test(std::size_t action_index) const {
    const ActionSet& set = ACTION_SET();
    check_index(action_index, set.actions.size());
    return test_grid(set.actions[action_index].grid_index);
}

void ActionMask::set(std::size_t action_index, bool value) {
    const ActionSet& set = ACTION_SET();
    check_index(action_index, set.actions.size());
    set_grid(set.actions[action_index].grid_index, value);
}

void ActionMask::set_grid(std::size_t grid_index, bool value) {
    check_index(grid_index, NUM_GRID_INDICES);
    const std::size_t o = grid_index / CELLS_PER_ORIENTATION;
    const Bitboard bit = Bitboard::single(anchor_bit(grid_index));
    set_anchors(o, value ? (anchors_[o] | bit) : (anchors_[o] & ~bit));
}

void ActionMask::clear_range(ActionRange range) {
    for (std::size_t i = range.start; i < range.end; ++i) set(i, false);
}

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
        OrientationRange& orients = set.orientation_ranges[position(piece.piece_type)];
        if (orients.end == 0) orients.start = o;
        orients.end = o + 1;
        set.shapes[o] = shape_of(piece.shape_mask(), set.cell_offsets);
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
    for (const Action& a : set.actions)
        if (a.cells.intersects(corner)) set.initial_mask.set_grid(a.grid_index, true);
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
    initial_mask.for_each_grid([&](std::size_t g) { mask[*grid[g]] = true; });
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
    mask.mark_grid_bytes(bytes.data());
    return bytes;
}

}  // namespace game
