// The action set: every placement of every orientation on the empty board, built once per
// process and shared read-only by every game.
//
// Two index spaces: the action index (position in `actions`, what each Agent's mask is indexed by)
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
#include "game/grid_set.hpp"
#include "game/pieces.hpp"

namespace game {

inline constexpr std::size_t CELLS_PER_ORIENTATION = BOARD_SIZE * BOARD_SIZE;
inline constexpr std::size_t NUM_GRID_INDICES = NUM_ORIENTATIONS * CELLS_PER_ORIENTATION;
// Every placement of every orientation on the empty board: the number of action indices.
inline constexpr std::size_t NUM_PLACEMENTS = 30433;

struct Action {
    Bitboard cells;
    std::size_t grid_index = 0;
    PieceType piece_type = PieceType::Monomino;
};

// Half-open run [start, end) of action indices or of orientation indices.
struct IndexRange {
    std::size_t start = 0;
    std::size_t end = 0;
};
inline constexpr IndexRange ALL_ORIENTATIONS{0, NUM_ORIENTATIONS};

// How a seat's legal placements are handed to a caller: as a grid mask of one 0/1 byte per grid
// index, or of one bit per grid index packed most significant bit first (the order of
// numpy.packbits); or as the list of legal grid indices (legal_lists.hpp); or as the mover's
// candidates alone (view.hpp), whose numbers are then the actions.
enum class MaskLayout { Bytes, Bits, Indices, Candidates };

// A seat's legal placements: one entry per action index, kept as one anchor set per orientation
// and read and written by grid index: position r * 20 + c of set o is the placement of
// orientation o with its top-left corner at (r, c). In that form a whole orientation is decided
// by a few word operations, a used piece is cleared by emptying its orientations, and the sets
// laid end to end are the bit mask an observer is handed.
class ActionMask {
public:
    bool test_grid(std::size_t grid_index) const {
        return anchors_[grid_index / CELLS_PER_ORIENTATION].test(grid_index %
                                                                 CELLS_PER_ORIENTATION);
    }
    void set_grid(std::size_t grid_index);
    // Calls f(grid index) for every legal placement, in ascending order.
    template <class F>
    void for_each_grid(F&& f) const {
        for_each_live([&](std::size_t o) {
            const std::size_t base = o * CELLS_PER_ORIENTATION;
            anchors_[o].for_each([&](std::size_t p) { f(base + p); });
        });
    }

    // The mask as the list of its legal grid indices, ascending, written to out; returns its
    // length. A list longer than `most` is cut short past its first `most` entries, within the
    // 64 positions that passed them: out needs room for most + CELLS_PER_ORIENTATION entries (of
    // which a few past the list's end may be written too), and a length above `most` means only
    // that the list is longer.
    std::size_t write_grid_list(std::uint16_t* out, std::size_t most) const;

    // The mask as NUM_GRID_INDICES / 8 bytes of bits, grid index g at bit 7 - g % 8 of byte
    // g / 8; every byte of the output is written.
    void write_grid_bits(std::uint8_t* out) const {
        static_assert(CELLS_PER_ORIENTATION == 8 * GridSet::BYTES);
        // Only the sets with a legal anchor are read: the others are empty, and those of pieces
        // placed long ago have left the cache, which in a batch of games costs more than all
        // the rest.
        std::memset(out, 0, NUM_GRID_INDICES / 8);
        for_each_live([&](std::size_t o) {
            std::memcpy(out + o * GridSet::BYTES, anchors_[o].bytes(), GridSet::BYTES);
        });
    }
    // The mask as NUM_GRID_INDICES bytes of 0/1; every byte of the output is written.
    void write_grid_bytes(std::uint8_t* out) const;

    const GridSet& anchors(std::size_t orientation) const { return anchors_[orientation]; }
    void set_anchors(std::size_t orientation, const GridSet& anchors) {
        set_anchors(orientation, anchors, nonzero_words(anchors));
    }
    // For a caller that already knows which words of the anchors are nonzero (bit w for word w).
    void set_anchors(std::size_t orientation, const GridSet& anchors, std::uint8_t nonzero) {
        anchors_[orientation] = anchors;
        nonzero_words_[orientation] = nonzero;
        std::uint64_t& word = live_[orientation / 64];
        const std::uint64_t bit = std::uint64_t{1} << (orientation % 64);
        word = (word & ~bit) | (nonzero != 0 ? bit : 0);
    }
    void clear_orientations(IndexRange range) {
        for (std::size_t o = range.start; o < range.end; ++o) set_anchors(o, GridSet{}, 0);
    }
    static std::uint8_t nonzero_words(const GridSet& anchors) {
        static_assert(GridSet::WORDS == 8, "a set's nonzero words are one byte of flags");
        unsigned flags = 0;
        for (std::size_t w = 0; w < GridSet::WORDS; ++w)
            flags |= unsigned{anchors.words[w] != 0} << w;
        return static_cast<std::uint8_t>(flags);
    }

    bool any() const { return (live_[0] | live_[1]) != 0; }
    std::size_t count() const;
    // The legal grid index of rank floor(key * n / 2^64) of the n legal ones of the orientations
    // `among`, in ascending order: `key` read as a fraction of the way through that list, in one
    // pass (rank_at_fraction, for a uniform pick from a uniform key). Stops fatally when n is 0.
    std::size_t grid_at_fraction(std::uint64_t key, IndexRange among = ALL_ORIENTATIONS) const;
    bool operator==(const ActionMask&) const = default;

private:
    // The versions of the scans above built for each processor (actions.cpp).
    std::size_t count_by_processor() const;
    std::size_t grid_at_fraction_by_processor(std::uint64_t key, IndexRange among) const;
    std::size_t write_grid_list_by_processor(std::uint16_t* out, std::size_t most) const;

    // Calls f(orientation) for every orientation with a legal anchor, in ascending order.
    template <class F>
    void for_each_live(F&& f) const {
        for (std::size_t w = 0; w < live_.size(); ++w)
            for (std::uint64_t live = live_[w]; live != 0; live &= live - 1)
                f(w * 64 + static_cast<std::size_t>(std::countr_zero(live)));
    }

    std::array<GridSet, NUM_ORIENTATIONS> anchors_{};
    // Bit w of entry o is set exactly when word w of anchors_[o] is not zero: the list writer
    // visits only those words, and the legality kernel finds them with the set in registers.
    std::array<std::uint8_t, NUM_ORIENTATIONS> nonzero_words_{};
    // Bit o % 64 of word o / 64 is set exactly when anchors_[o] is not empty.
    std::array<std::uint64_t, (NUM_ORIENTATIONS + 63) / 64> live_{};
};

// A seat's legal anchors kept for one uniform pick among them, as a random bot moves: each
// orientation's set is stored with its count, taken as it is stored, so that the pick counts
// nothing again. The sets need no zeroing first (a default-initialised object leaves them
// unwritten): an orientation not written since clear() counts none and is never read.
class CountedAnchors {
public:
    void clear() {
        counts_ = {};
        total_ = 0;
    }
    // The orientation's anchors, stored whatever their number, so that a caller need not branch
    // on it; returns it. Counted from the stored copy, a loop over memory that a compiler turns
    // into one instruction where the processor counts the bits of a whole register by words.
    std::size_t set(std::size_t orientation, const std::uint64_t* words) {
        std::array<std::uint64_t, GridSet::WORDS>& stored = words_[orientation];
        std::memcpy(stored.data(), words, sizeof stored);
        std::size_t count = 0;
        for (const std::uint64_t word : stored)
            count += static_cast<std::size_t>(std::popcount(word));
        counts_[orientation] = static_cast<std::uint16_t>(count);
        return count;
    }
    // After the sets: how many anchors they hold in all.
    void set_total(std::size_t total) { total_ = total; }
    std::size_t count() const { return total_; }
    // As ActionMask::grid_at_fraction over the same anchors.
    std::size_t grid_at_fraction(std::uint64_t key) const;

private:
    std::size_t grid_at_fraction_by_processor(std::uint64_t key) const;

    std::array<std::array<std::uint64_t, GridSet::WORDS>, NUM_ORIENTATIONS> words_;
    std::array<std::uint16_t, NUM_ORIENTATIONS> counts_{};
    std::size_t total_ = 0;
};

// The open cells (or the corner cells) of one position, moved toward the start by every distance
// of 0 to 7 positions, each followed by zero bytes (ShiftedCells in rules.cpp): the cells moved by
// a distance d are the 64 bytes that begin d / 8 bytes into copy d % 8, a load rather than a shift.
// Position p of that load says whether the cell d positions past anchor p is open.
inline constexpr std::size_t SHIFTED_COPY_BYTES = 80;
inline constexpr std::size_t MAX_CELL_DISTANCE = 4 * BOARD_SIZE + 4;
static_assert(MAX_CELL_DISTANCE / 8 + sizeof(GridSet) <= SHIFTED_COPY_BYTES);

// The cells of one orientation with its top-left corner at (0, 0), in ascending order of their
// distance row * 20 + col from it, also as the byte where each one's shifted copy starts (see
// SHIFTED_COPY_BYTES); the width of its bounding box; its piece.
struct OrientationShape {
    std::array<std::uint8_t, 5> distances{};
    std::array<std::uint16_t, 5> starts{};
    std::uint8_t num_cells = 0;
    std::uint8_t width = 0;
    PieceType piece = PieceType::Monomino;
};

// Orientations share leading cells: of the 414 cells of all 91 orientations, only 125 distinct
// runs of first cells exist. Laid out as a tree walked in preorder, each run's cells are tested
// once for every orientation that begins with it.
struct ShapeNode {
    std::uint16_t start = 0;  // the byte where the copy of this node's cell starts
    std::uint8_t depth = 0;   // cells before this one in the run
    std::uint8_t orientation = NO_ORIENTATION;  // the orientation whose cells end here, if any
    std::uint16_t next = 0;                     // the first node after this node's subtree
    std::uint8_t width = 0;                     // of the orientation ending here, if any
    // Whether more than one node extends this node's run: the walk then comes back to the run
    // after the first one's subtree and needs it kept.
    bool branches = false;
    std::uint32_t pieces = 0;  // PieceSet bits of every orientation in the subtree
    std::uint32_t piece = 0;   // the PieceSet bit of the orientation ending here, if any
    static constexpr std::uint8_t NO_ORIENTATION = 0xff;
};

struct ActionSet {
    Vec<Action> actions;
    Vec<std::optional<std::size_t>> grid;
    // Indexed by position(piece type): the run of action indices of all its orientations.
    std::array<IndexRange, NUM_PIECE_TYPES> piece_ranges{};
    // Indexed by position(piece type): the run of its orientation indices.
    std::array<IndexRange, NUM_PIECE_TYPES> orientation_ranges{};
    // Indexed by orientation: its cells, as starts of shifted copies.
    std::array<OrientationShape, NUM_ORIENTATIONS> shapes{};
    // Indexed by width: the anchors where a shape that many columns wide stays on the board.
    std::array<GridSet, 6> anchor_columns{};
    // Every orientation's cells as one tree, in preorder (see ShapeNode).
    Vec<ShapeNode> shape_tree;
    // The placements that cover cell (0, 0), the start corner of every seat's own frame.
    ActionMask initial_mask;

    std::size_t num_actions() const { return grid.size(); }
    std::size_t num_orientations() const { return grid.size() / CELLS_PER_ORIENTATION; }
    IndexRange orientations_of(PieceType t) const { return orientation_ranges[position(t)]; }

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
