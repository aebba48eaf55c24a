// The rules of a turn: placing a piece, what a seat sees, which placements are legal (the one
// place where that is decided), why one is not, and the final score.
#include "game/rules.hpp"

#include <cstring>
#include <string>

#include "game/cpu.hpp"
#include "game/unpack.hpp"

namespace game {

// ---- Placing a piece --------------------------------------------------------------------------

namespace {

// Sets a cell on a guarded board.
void add_cell(Bitboard& board, std::size_t row, std::size_t col) {
    const std::size_t bit = cell_index(row, col);
    board.words[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

}  // namespace

void SeatPosition::place(const ActionSet& set, std::size_t grid_index) {
    const OrientationShape& shape = set.shapes[grid_index / CELLS_PER_ORIENTATION];
    const std::size_t anchor = grid_index % CELLS_PER_ORIENTATION;
    for (std::size_t j = 0; j < shape.num_cells; ++j) {
        const std::size_t position = anchor + shape.distances[j];
        std::size_t r = position / BOARD_SIZE, c = position % BOARD_SIZE;
        add_cell(board, r, c);
        grid_turned[0].set(position);
        // The board as the later seats see it: a quarter turn clockwise takes (r, c) to
        // (c, 19 - r).
        for (std::size_t k = 1; k < 4; ++k) {
            const std::size_t turned_r = c, turned_c = BOARD_SIZE - 1 - r;
            r = turned_r;
            c = turned_c;
            add_cell(turned[k - 1], r, c);
            grid_turned[k].set(r * BOARD_SIZE + c);
        }
    }
    pieces_placed += 1;
    available_pieces.remove(shape.piece);
    last_piece = shape.piece;
}

// ---- What a seat sees -------------------------------------------------------------------------

void TableView::check_observer(std::size_t observer) {
    if (observer >= NUM_AGENTS)
        fatal("agent index " + std::to_string(observer) + " out of range [0, " +
              std::to_string(NUM_AGENTS - 1) + "]");
}

void TableView::write_planes(std::uint8_t* planes) const {
    // The four sets end to end are the planes as bits, one unpacking away from their bytes.
    std::array<std::uint8_t, NUM_AGENTS * GridSet::BYTES> bits;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        std::memcpy(bits.data() + k * GridSet::BYTES, grid(k).bytes(), GridSet::BYTES);
    unpack_bits(bits.data(), bits.size(), planes);
}

void TableView::write_hands(std::uint8_t* hands) const {
    for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
        const std::uint32_t held = seat(k).available_pieces.bits();
        for (std::size_t j = 0; j < NUM_PIECE_TYPES; ++j)
            hands[k * NUM_PIECE_TYPES + j] = static_cast<std::uint8_t>((held >> j) & 1u);
    }
}

// ---- Which placements are legal ---------------------------------------------------------------

namespace {

// A set's 512 bits as one vector, a register where the processor has them.
using Words [[gnu::vector_size(sizeof(GridSet))]] = std::uint64_t;

// The legal anchors of every orientation of the pieces in hand: every cell open, at least one a
// corner cell, and the shape within the board's columns (grid order has no guard bits to stop a
// shape that wraps into the next row). Each cell's set is a 64-byte load from a shifted copy, and
// a run of leading cells shared by several orientations is loaded once (see ShapeNode). With a
// mask, writes every such orientation's anchors into it and returns whether any is legal; with
// counted anchors, stores there the set and count of every orientation the walk reaches (those
// out of hand empty) instead; with neither, returns at the first legal anchor. Built into each
// version of legal_anchors below.
[[gnu::always_inline]] inline bool walk_shape_tree(const std::uint8_t* open_copies,
                                                   const std::uint8_t* corner_copies,
                                                   const ActionSet& set, PieceSet hand,
                                                   ActionMask* out, CountedAnchors* counted) {
    constexpr std::size_t MAX_DEPTH = 5;
    // fits and touches: the anchors where the cells of the current run are open, and where one
    // of them is a corner cell. In preorder a node usually extends the run of the node before
    // it, so the run is carried in registers and only read back from the saved runs when the
    // walk returns to a shorter one.
    Words fits = ~Words{}, touches = Words{}, open, corner, columns;
    bool any = false;
    std::size_t total = 0;  // of the counted anchors
    Words saved_fits[MAX_DEPTH], saved_touches[MAX_DEPTH];
    std::size_t length = 0;  // cells in the current run
    const ShapeNode* nodes = set.shape_tree.data();
    const std::size_t num_nodes = set.shape_tree.size();
    for (std::size_t i = 0; i < num_nodes;) {
        const ShapeNode& node = nodes[i];
        if ((node.pieces & hand.bits()) == 0) {
            i = node.next;
            continue;
        }
        const std::size_t d = node.depth;  // below MAX_DEPTH: shapes have at most five cells
        if (d == 0) {
            fits = ~Words{};
            touches = Words{};
        } else if (d < length) {
            fits = saved_fits[d - 1];
            touches = saved_touches[d - 1];
        }
        std::memcpy(&open, open_copies + node.start, sizeof open);
        std::memcpy(&corner, corner_copies + node.start, sizeof corner);
        fits &= open;
        touches |= corner;
        if (node.branches) {
            saved_fits[d] = fits;
            saved_touches[d] = touches;
        }
        length = d + 1;
        ++i;
        // A node on the way to a piece in hand may end no orientation, or one of a piece that is
        // no longer in hand.
        if (node.orientation == ShapeNode::NO_ORIENTATION) continue;
        const bool in_hand = (node.piece & hand.bits()) != 0;
        std::memcpy(&columns, set.anchor_columns[node.width].words.data(), sizeof columns);
        if (counted != nullptr) {
            // With no branch on the hand or on the count, which vary from seat to seat and turn
            // to turn and would be mispredicted: an orientation out of hand is stored empty.
            const Words anchors = fits & touches & columns & (Words{} - std::uint64_t{in_hand});
            const std::size_t n =
                counted->set(node.orientation, reinterpret_cast<const std::uint64_t*>(&anchors));
            total += n;
            continue;
        }
        // A mask is written only where its orientation is in hand: the sets of pieces placed
        // long ago have left the cache, and storing to them would bring them back.
        if (!in_hand) continue;
        const Words anchors = fits & touches & columns;
        // Which words are nonzero, bit w for word w: each nonzero word's flag, folded in halves.
        using Half [[gnu::vector_size(sizeof(GridSet) / 2)]] = std::uint64_t;
        using Quarter [[gnu::vector_size(sizeof(GridSet) / 4)]] = std::uint64_t;
        const Words flags = (anchors != 0) & Words{1, 2, 4, 8, 16, 32, 64, 128};
        const Half half = __builtin_shufflevector(flags, flags, 0, 1, 2, 3) |
                          __builtin_shufflevector(flags, flags, 4, 5, 6, 7);
        const Quarter quarter =
            __builtin_shufflevector(half, half, 0, 1) | __builtin_shufflevector(half, half, 2, 3);
        const auto nonzero = static_cast<std::uint8_t>(quarter[0] | quarter[1]);
        const bool legal = nonzero != 0;
        if (out == nullptr) {
            if (legal) return true;
            continue;
        }
        GridSet result;
        std::memcpy(result.words.data(), &anchors, sizeof anchors);
        out->set_anchors(node.orientation, result, nonzero);
        any = any || legal;
    }
    if (counted != nullptr) {
        counted->set_total(total);
        any = total != 0;
    }
    return any;
}

// Sets are 512 bits, one register where the processor has them, so the walk is built for such
// processors too, and for those that also count a register's bits by words (a random bot counts
// every orientation's anchors, and counting them word by word took a fifth of its move); the
// best version is picked on first use.
TAVLOK_CLONES("avx512f", "avx2", "default") bool legal_anchors_by_clone(
    const std::uint8_t* open_copies, const std::uint8_t* corner_copies, const ActionSet& set,
    PieceSet hand, ActionMask* out, CountedAnchors* counted) {
    return walk_shape_tree(open_copies, corner_copies, set, hand, out, counted);
}

#if TAVLOK_X86_DISPATCH
[[gnu::target("avx512f,avx512vpopcntdq,popcnt")]] bool legal_anchors_with_vector_popcount(
    const std::uint8_t* open_copies, const std::uint8_t* corner_copies, const ActionSet& set,
    PieceSet hand, ActionMask* out, CountedAnchors* counted) {
    return walk_shape_tree(open_copies, corner_copies, set, hand, out, counted);
}
#endif

bool legal_anchors(const std::uint8_t* open_copies, const std::uint8_t* corner_copies,
                   const ActionSet& set, PieceSet hand, ActionMask* out, CountedAnchors* counted) {
    // Chosen on first use, which may come before the constructors of other files have run: the
    // processor's feature bits are read here rather than trusted to be filled in.
    static const auto best = [] {
#if TAVLOK_X86_DISPATCH
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512vpopcntdq")) return legal_anchors_with_vector_popcount;
#endif
        return legal_anchors_by_clone;
    }();
    return best(open_copies, corner_copies, set, hand, out, counted);
}

// Writes the eight shifted copies of a set (see SHIFTED_COPY_BYTES): copy s holds the set moved
// s positions toward the start, in mask order, followed by zero bytes.
template <std::size_t S = 0>
[[gnu::always_inline]] inline void write_copies(const HighFirst& cells, std::uint8_t* copies) {
    std::uint8_t* copy = copies + S * SHIFTED_COPY_BYTES;
    HighFirst moved = cells;
    if constexpr (S != 0) moved = cells.toward_start<S>();
    for (std::size_t i = 0; i < GridSet::WORDS; ++i) {
        const std::uint64_t word = detail::first_position_high(moved.words[i]);
        std::memcpy(copy + 8 * i, &word, sizeof word);
    }
    std::memset(copy + sizeof(GridSet), 0, SHIFTED_COPY_BYTES - sizeof(GridSet));
    if constexpr (S + 1 < 8) write_copies<S + 1>(cells, copies);
}

// The open and corner cells of a seat with these cells, among others', in their shifted copies.
// Whole-set shifts and masks, which wider registers do in fewer steps: built for them too, the
// best version picked at load time.
TAVLOK_CLONES("arch=x86-64-v4", "arch=x86-64-v3", "default") void write_shifted_cells(
    const GridSet& own, const GridSet& others, std::uint8_t* open_copies,
    std::uint8_t* corner_copies) {
    const PlacementCells cells = placement_cells(own, others);
    write_copies(cells.open, open_copies);
    write_copies(cells.corners, corner_copies);
}

// The observer's open and corner cells, each in the eight shifted copies that the kernel loads
// from. Positions past 399 are never open, so an anchor whose shape would stick out below the
// board fails by itself.
class ShiftedCells {
public:
    explicit ShiftedCells(const TableView& seen) : hand_(seen.observer().available_pieces) {
        write_shifted_cells(seen.grid(0), seen.others_grid(), open_copies_[0].data(),
                            corner_copies_[0].data());
    }

    // As legal_anchors for the observer's hand.
    bool anchors(ActionMask* out, CountedAnchors* counted = nullptr) const {
        return legal_anchors(open_copies_[0].data(), corner_copies_[0].data(), ACTION_SET(), hand_,
                             out, counted);
    }

private:
    using Copies = std::array<std::array<std::uint8_t, SHIFTED_COPY_BYTES>, 8>;

    PieceSet hand_;
    // Each array is one block, so that a node's start indexes all eight copies from the first.
    alignas(64) Copies open_copies_, corner_copies_;
};

}  // namespace

bool write_legal_anchors(const TableView& seen, ActionMask& out) {
    return ShiftedCells(seen).anchors(&out);
}

bool write_legal_anchors(const TableView& seen, CountedAnchors& out) {
    out.clear();
    return ShiftedCells(seen).anchors(nullptr, &out);
}

ActionMask legal_mask(const TableView& seen) {
    const SeatPosition& seat = seen.observer();
    if (seat.pieces_placed == 0) return ACTION_SET().initial_mask;
    ActionMask mask;
    if (!seat.done) write_legal_anchors(seen, mask);
    return mask;
}

bool can_place(const TableView& seen) {
    return seen.observer().pieces_placed == 0 || ShiftedCells(seen).anchors(nullptr);
}

const char* placement_refusal(const TableView& seen, const Action& action) {
    const SeatPosition& seat = seen.observer();
    if (!seat.available_pieces.contains(action.piece_type))
        return "the seat has placed that piece already";
    if (seat.pieces_placed == 0) {
        if (!ACTION_SET().initial_mask.test_grid(action.grid_index))
            return "a seat's first piece must cover its start corner";
        return nullptr;
    }
    const Bitboard others = seen.others();
    const Bitboard open = open_cells(seat.board, others);
    if (!action.cells.minus(open).is_empty()) {
        if (action.cells.intersects(seat.board | others)) return "it overlaps a piece on the board";
        return "it shares an edge with one of the seat's own pieces";
    }
    if (!action.cells.intersects(corner_cells(seat.board, open)))
        return "it touches none of the seat's own pieces at a corner";
    return nullptr;
}

// ---- The end ----------------------------------------------------------------------------------

std::int16_t final_score(const SeatPosition& seat) {
    int cells_left = 0;
    seat.available_pieces.for_each(
        [&](PieceType t) { cells_left += static_cast<int>(num_cells(t)); });
    if (cells_left != 0) return static_cast<std::int16_t>(-cells_left);
    return seat.last_piece == PieceType::Monomino ? 20 : 15;
}

double win_share(const std::array<std::int16_t, NUM_AGENTS>& scores, std::size_t seat) {
    check_index(seat, NUM_AGENTS);
    const std::int16_t best = *std::max_element(scores.begin(), scores.end());
    if (scores[seat] != best) return 0;
    return 1.0 / static_cast<double>(std::count(scores.begin(), scores.end(), best));
}

}  // namespace game
