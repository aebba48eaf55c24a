// Each seat's view of the game, and the one place where legal moves are decided.
#include <cstring>
#include <string>

#include "game.hpp"
#include "game/unpack.hpp"

namespace game {

namespace {

// Writes the 400 cells of a board as 0/1 bytes, row by row.
void write_plane(const Bitboard& board, std::uint8_t* out) {
    for (std::size_t r = 0; r < BOARD_SIZE; ++r)
        row_to_bytes(board.row_bits(r), out + r * BOARD_SIZE);
}

// The legal anchors of every orientation of the pieces in hand: every cell open, at least one a
// corner cell, and the shape within the board's columns (grid order has no guard bits to stop a
// shape that wraps into the next row). Each cell's set is a 64-byte load from a shifted copy, and
// a run of leading cells shared by several orientations is loaded once (see ShapeNode). With a
// mask, writes every such orientation's anchors into it and returns whether any is legal; without
// one, returns at the first legal anchor. Sets are 512 bits, one register where the processor has
// them, so this is built for such processors too and the best version is picked at load time.
[[gnu::target_clones("avx512f", "avx2", "default")]] bool legal_anchors(
    const std::uint8_t* open_copies, const std::uint8_t* corner_copies, const ActionSet& set,
    PieceSet hand, ActionMask* out) {
    using Words [[gnu::vector_size(sizeof(GridSet))]] = std::uint64_t;
    constexpr std::size_t MAX_DEPTH = 5;
    // fits and touches: the anchors where the cells of the current run are open, and where one
    // of them is a corner cell. In preorder a node usually extends the run of the node before
    // it, so the run is carried in registers and only read back from the saved runs when the
    // walk returns to a shorter one.
    Words fits = ~Words{}, touches = Words{}, open, corner, columns;
    bool any = false;
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
        if ((node.piece & hand.bits()) == 0) continue;
        std::memcpy(&columns, set.anchor_columns[node.width].raw.data(), sizeof columns);
        const Words anchors = fits & touches & columns;
        // Whether any word is set, folding the set in halves.
        using Half [[gnu::vector_size(sizeof(GridSet) / 2)]] = std::uint64_t;
        using Quarter [[gnu::vector_size(sizeof(GridSet) / 4)]] = std::uint64_t;
        const Half half = __builtin_shufflevector(anchors, anchors, 0, 1, 2, 3) |
                          __builtin_shufflevector(anchors, anchors, 4, 5, 6, 7);
        const Quarter quarter =
            __builtin_shufflevector(half, half, 0, 1) | __builtin_shufflevector(half, half, 2, 3);
        const bool legal = (quarter[0] | quarter[1]) != 0;
        if (out == nullptr) {
            if (legal) return true;
            continue;
        }
        GridSet result;
        std::memcpy(result.raw.data(), &anchors, sizeof anchors);
        out->set_anchors(node.orientation, result, legal);
        any = any || legal;
    }
    return any;
}

// Writes the eight shifted copies of a set (see SHIFTED_COPY_BYTES): copy s holds the set moved
// s positions toward the start, in mask order, followed by zero bytes.
template <std::size_t S = 0>
void write_copies(const HighFirst& cells, std::uint8_t* copies) {
    std::uint8_t* copy = copies + S * SHIFTED_COPY_BYTES;
    for (std::size_t i = 1; i <= GridSet::WORDS; ++i) {
        std::uint64_t word = cells.w[i];
        if constexpr (S != 0) word = (word << S) | (cells.w[i + 1] >> (64 - S));
        word = detail::first_position_high(word);
        std::memcpy(copy + 8 * (i - 1), &word, sizeof word);
    }
    std::memset(copy + sizeof(GridSet), 0, SHIFTED_COPY_BYTES - sizeof(GridSet));
    if constexpr (S + 1 < 8) write_copies<S + 1>(cells, copies);
}

// The open and corner cells of one position, each in the eight shifted copies that the kernel
// loads from. Positions past 399 are never open, so an anchor whose shape would stick out below
// the board fails by itself.
class ShiftedCells {
public:
    ShiftedCells(const ActionSet& set, const GridSet& own, const GridSet& others) : set_(set) {
        const PlacementCells cells = placement_cells(own, others);
        write_copies(cells.open, open_copies_[0].data());
        write_copies(cells.corners, corner_copies_[0].data());
    }

    // The legal anchors of every orientation of the pieces in hand, written into `out`; the
    // orientations of other pieces are left as they are. Returns whether any anchor is legal.
    bool write_legal_anchors(PieceSet hand, ActionMask& out) const {
        return legal_anchors(open_copies_[0].data(), corner_copies_[0].data(), set_, hand, &out);
    }
    bool any_legal_anchor(PieceSet hand) const {
        return legal_anchors(open_copies_[0].data(), corner_copies_[0].data(), set_, hand, nullptr);
    }

private:
    using Copies = std::array<std::array<std::uint8_t, SHIFTED_COPY_BYTES>, 8>;

    const ActionSet& set_;
    // Each array is one block, so that a node's start indexes all eight copies from the first.
    alignas(64) Copies open_copies_, corner_copies_;
};

}  // namespace

void legal_anchors_for(const ActionSet& set, PieceSet hand, const GridSet& own,
                       const GridSet& others, ActionMask& out) {
    ShiftedCells(set, own, others).write_legal_anchors(hand, out);
}

bool has_legal_placement(const ActionSet& set, PieceSet hand, const GridSet& own,
                         const GridSet& others) {
    return ShiftedCells(set, own, others).any_legal_anchor(hand);
}

void write_planes(const std::array<Bitboard, NUM_AGENTS>& aligned, std::uint8_t* planes) {
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        write_plane(aligned[k], planes + k * BOARD_SIZE * BOARD_SIZE);
}

namespace {

void check_agent_index(std::size_t agent_idx) {
    if (agent_idx >= NUM_AGENTS)
        fatal("agent index " + std::to_string(agent_idx) + " out of range [0, " +
              std::to_string(NUM_AGENTS - 1) + "]");
}

}  // namespace

std::array<Bitboard, NUM_AGENTS> Game::align_boards(std::size_t agent_idx) const {
    check_agent_index(agent_idx);
    // Seats sit clockwise: the seat k places after the observer is seen turned k quarter turns
    // clockwise, and every agent keeps its board in all four turns.
    std::array<Bitboard, NUM_AGENTS> aligned;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
        const std::size_t seat = seat_order[agent_idx][k];
        check_index(seat, NUM_AGENTS);
        aligned[k] = agents[seat].board_turned(k);
    }
    return aligned;
}

void Game::refresh_mask(Agent& agent, const GridSet& own, const GridSet& others) {
    legal_anchors_for(*action_set, agent.available_pieces, own, others, agent.action_mask);
    if (!agent.action_mask.any()) agent.done = true;
}

std::array<const GridSet*, NUM_AGENTS> Game::aligned_grids(std::size_t agent_idx) const {
    check_agent_index(agent_idx);
    std::array<const GridSet*, NUM_AGENTS> aligned;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
        const std::size_t seat = seat_order[agent_idx][k];
        check_index(seat, NUM_AGENTS);
        aligned[k] = &agents[seat].grid_turned[k];
    }
    return aligned;
}

const Agent& Game::refresh(std::size_t agent_idx) {
    const std::array<const GridSet*, NUM_AGENTS> aligned = aligned_grids(agent_idx);
    Agent& agent = agents[agent_idx];
    if (agent.pieces_placed != 0 && !agent.done)
        refresh_mask(agent, *aligned[0], *aligned[1] | *aligned[2] | *aligned[3]);
    agent.mask_stale = false;
    return agent;
}

void Game::write_planes(std::size_t agent_idx, std::uint8_t* planes) const {
    // The four sets end to end are the planes as bits.
    std::array<std::uint8_t, NUM_AGENTS * GridSet::BYTES> bits;
    const std::array<const GridSet*, NUM_AGENTS> aligned = aligned_grids(agent_idx);
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        std::memcpy(bits.data() + k * GridSet::BYTES, aligned[k]->bytes(), GridSet::BYTES);
    unpack_bits(bits.data(), bits.size(), planes);
}

void Game::write_view(std::size_t agent_idx, std::uint8_t* planes, std::uint8_t* mask,
                      MaskLayout layout) const {
    write_planes(agent_idx, planes);
    const ActionMask& legal = agents[agent_idx].action_mask;
    if (layout == MaskLayout::Bits) {
        legal.write_grid_bits(mask);
    } else {
        legal.write_grid_bytes(mask);
    }
}

Observation Game::observe(std::size_t agent_idx) {
    const Agent& agent = refresh(agent_idx);
    Observation result;
    result.observation.resize(PLANE_BYTES);  // written whole, so not zero-filled
    write_planes(agent_idx, result.observation.data());
    // A zero-filled allocation becomes calloc, which can skip clearing memory that is fresh
    // from the system; only the legal entries are written afterwards.
    result.action_mask = Bytes(action_set->num_actions(), 0);
    agent.action_mask.mark_grid_bytes(result.action_mask.data());
    return result;
}

void Game::observe_into(std::size_t agent_idx, std::uint8_t* planes, std::uint8_t* mask,
                        MaskLayout layout) {
    refresh(agent_idx);
    write_view(agent_idx, planes, mask, layout);
}

}  // namespace game
