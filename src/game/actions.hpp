// The action set: every placement of every orientation on the empty board, built once per
// process and shared read-only by every game.
//
// Two index spaces: the action index (position in `actions`, what agents' masks are indexed by)
// and the grid index (orientation * 400 + row * 20 + col, what callers pass to step and the layout
// of the mask that observe hands out).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "game/alloc.hpp"
#include "game/bitboard.hpp"
#include "game/pieces.hpp"

namespace game {

inline constexpr std::size_t CELLS_PER_ORIENTATION = BOARD_SIZE * BOARD_SIZE;
inline constexpr std::size_t NUM_GRID_INDICES = NUM_ORIENTATIONS * CELLS_PER_ORIENTATION;
inline constexpr std::size_t NUM_ACTIONS = 30433;

struct Action {
    Bitboard cells;
    std::size_t grid_index = 0;
    PieceType piece_type = PieceType::Monomino;
};

// Half-open run [start, end) of action indices.
struct ActionRange {
    std::size_t start = 0;
    std::size_t end = 0;
};

// Half-open run [start, end) of orientation indices.
struct OrientationRange {
    std::size_t start = 0;
    std::size_t end = 0;
};

// An agent's legal actions. Indexed by action index, but kept as one anchor board per orientation:
// bit r * 21 + c of board o is the placement of orientation o with its top-left corner at (r, c).
// In that form a whole orientation is decided by a few word operations, a used piece is cleared
// by zeroing its orientations, and the grid mask is written from the set bits alone.
class ActionMask {
public:
    constexpr std::size_t size() const { return NUM_ACTIONS; }

    // By action index; these look the action up in ACTION_SET().
    bool test(std::size_t action_index) const;
    void set(std::size_t action_index, bool value);
    void clear_range(ActionRange range);
    // Calls f(action index) for every legal action, in ascending order.
    template <class F>
    void for_each(F&& f) const;

    // By grid index.
    bool test_grid(std::size_t grid_index) const {
        return anchors_[grid_index / CELLS_PER_ORIENTATION].test(anchor_bit(grid_index));
    }
    void set_grid(std::size_t grid_index, bool value);
    // Calls f(grid index) for every legal action, in ascending order. Only orientations with a
    // legal anchor are visited, and only the words that can hold cells.
    template <class F>
    void for_each_grid(F&& f) const {
        for (u128 live = live_; live != 0; live &= live - 1) {
            const std::size_t o = count_trailing_zeros(live);
            const std::size_t base = o * CELLS_PER_ORIENTATION;
            const Bitboard& b = anchors_[o];
            for (std::size_t w = 0; w < CELL_WORDS; ++w)
                for (std::uint64_t bits = b.words[w]; bits != 0; bits &= bits - 1)
                    f(base +
                      ANCHOR_POSITIONS[w * 64 + static_cast<std::size_t>(std::countr_zero(bits))]);
        }
    }

    // Sets byte g of a zero-filled NUM_GRID_INDICES-byte grid for every legal grid index g.
    void mark_grid_bytes(std::uint8_t* out) const {
        for_each_grid([&](std::size_t g) { out[g] = 1; });
    }
    // The mask as NUM_GRID_INDICES / 8 bytes of bits, grid index g at bit 7 - g % 8 of byte
    // g / 8; every byte of the output is written.
    void write_grid_bits(std::uint8_t* out) const {
        std::memset(out, 0, NUM_GRID_INDICES / 8);
        for_each_grid(
            [&](std::size_t g) { out[g / 8] |= static_cast<std::uint8_t>(0x80u >> (g % 8)); });
    }

    const Bitboard& anchors(std::size_t orientation) const { return anchors_[orientation]; }
    void set_anchors(std::size_t orientation, const Bitboard& anchors) {
        anchors_[orientation] = anchors;
        const u128 bit = u128{1} << orientation;
        live_ = anchors.is_empty() ? (live_ & ~bit) : (live_ | bit);
    }
    void clear_orientations(OrientationRange range) {
        for (std::size_t o = range.start; o < range.end; ++o) set_anchors(o, Bitboard{});
    }

    bool any() const { return live_ != 0; }
    std::size_t count() const {
        std::size_t n = 0;
        for (u128 live = live_; live != 0; live &= live - 1)
            n += anchors_[count_trailing_zeros(live)].count();
        return n;
    }
    bool operator==(const ActionMask&) const = default;

    // Bit r * 21 + c of the anchor board for the placement at row * 20 + col = grid_index % 400.
    static constexpr std::size_t anchor_bit(std::size_t grid_index) {
        const std::size_t position = grid_index % CELLS_PER_ORIENTATION;
        return cell_index(position / BOARD_SIZE, position % BOARD_SIZE);
    }

private:
    // Anchor bits are below 420, so the eighth word of an anchor board is always empty.
    static constexpr std::size_t CELL_WORDS = (CELL_BIT_LIMIT + 63) / 64;

    // Anchor bit r * 21 + c -> r * 20 + c, so that writing the grid needs no division.
    static constexpr std::array<std::uint16_t, CELL_WORDS * 64> ANCHOR_POSITIONS = [] {
        std::array<std::uint16_t, CELL_WORDS * 64> table{};
        for (std::size_t bit = 0; bit < CELL_BIT_LIMIT; ++bit)
            table[bit] =
                static_cast<std::uint16_t>((bit / ROW_STRIDE) * BOARD_SIZE + bit % ROW_STRIDE);
        return table;
    }();

    static std::size_t count_trailing_zeros(u128 v) {
        const auto low = static_cast<std::uint64_t>(v);
        return low != 0 ? static_cast<std::size_t>(std::countr_zero(low))
                        : 64 + static_cast<std::size_t>(
                                   std::countr_zero(static_cast<std::uint64_t>(v >> 64)));
    }

    std::array<Bitboard, NUM_ORIENTATIONS> anchors_{};
    // Bit o is set exactly when anchors_[o] is not empty.
    u128 live_ = 0;
};

// The cells of one orientation at offset (0, 0), as bit offsets into the board, each given as a
// slot of ActionSet::cell_offsets so that every distinct offset is shifted once per observation.
struct OrientationShape {
    std::array<std::uint8_t, 5> offset_slots{};
    std::uint8_t num_cells = 0;
};

struct ActionSet {
    Vec<Action> actions;
    Vec<std::optional<std::size_t>> grid;
    // Indexed by position(piece type): the run of action indices of all its orientations.
    std::array<ActionRange, NUM_PIECE_TYPES> piece_ranges{};
    // Indexed by position(piece type): the run of its orientation indices.
    std::array<OrientationRange, NUM_PIECE_TYPES> orientation_ranges{};
    // Indexed by orientation: its cells, as slots of cell_offsets.
    std::array<OrientationShape, NUM_ORIENTATIONS> shapes{};
    // Every distinct bit offset (row * 21 + col within a bounding box) of any orientation's cell.
    Vec<std::size_t> cell_offsets;
    // The placements that cover cell (0, 0), the start corner of every agent's own frame.
    ActionMask initial_mask;

    std::size_t num_actions() const { return grid.size(); }
    std::size_t num_orientations() const { return grid.size() / CELLS_PER_ORIENTATION; }
    ActionRange range_of(PieceType t) const { return piece_ranges[position(t)]; }
    OrientationRange orientations_of(PieceType t) const { return orientation_ranges[position(t)]; }

    // One entry per action index, true for the placements that cover cell (0, 0).
    Vec<bool> initial_actions() const;

    // The mask laid out on the grid: one byte per grid index, 1 where the action is in the mask.
    // Entries past the smaller of the mask's length and the number of actions stay 0.
    Bytes grid_mask(const Vec<bool>& mask) const;
    Bytes grid_mask(const ActionMask& mask) const;

    static ActionSet build();
};

// The process-wide action set, built by the first caller; later callers wait for it.
const ActionSet& ACTION_SET();

}  // namespace game

namespace game {

template <class F>
void ActionMask::for_each(F&& f) const {
    const ActionSet& set = ACTION_SET();
    for_each_grid([&](std::size_t g) { f(*set.grid[g]); });
}

}  // namespace game
