// Each seat's view of the game, and the one place where legal moves are decided.
#include <cstring>
#include <string>

#include "game.hpp"

namespace game {

namespace {

// Writes the 400 cells of a board as 0/1 bytes, row by row.
void write_plane(const Bitboard& board, std::uint8_t* out) {
    for (std::size_t r = 0; r < BOARD_SIZE; ++r)
        row_to_bytes(board.row_bits(r), out + r * BOARD_SIZE);
}

// The legal anchors of orientations [first, last): every cell open, at least one a corner cell.
// Boards are eight words, one 512-bit register where the processor has them, so this is built for
// such processors too and the best version is picked when the module loads.
[[gnu::target_clones("avx512f", "avx2", "default")]] void legal_anchors(
    const Bitboard* open_at, const Bitboard* corners_at, const OrientationShape* shapes,
    std::size_t first, std::size_t last, Bitboard* out) {
    for (std::size_t o = first; o < last; ++o) {
        const OrientationShape& shape = shapes[o];
        Bitboard fits = open_at[shape.offset_slots[0]];
        Bitboard touches = corners_at[shape.offset_slots[0]];
        for (std::size_t j = 1; j < shape.num_cells; ++j) {
            fits &= open_at[shape.offset_slots[j]];
            touches |= corners_at[shape.offset_slots[j]];
        }
        out[o - first] = fits & touches;
    }
}

// The open and corner cells of one position shifted by every cell offset of the catalogue: bit b
// of open >> d says whether the cell d past anchor b is open. Guard bits and bits of 420 and above
// are never open, so an anchor whose shape would stick out of the board, or wrap into the next
// row, fails by itself.
class ShiftedCells {
public:
    ShiftedCells(const ActionSet& set, const Bitboard& own, const Bitboard& others) : set_(set) {
        const Bitboard open = open_cells(own, others);
        const Bitboard corners = corner_cells(own, open);
        const Vec<std::size_t>& offsets = set.cell_offsets;
        check_index(offsets.size() - 1, open_at_.size());
        for (std::size_t s = 0; s < offsets.size(); ++s) {
            open_at_[s] = open >> offsets[s];
            corners_at_[s] = corners >> offsets[s];
        }
    }

    // Calls f(orientation range, its anchors) for each piece in hand, in hand order, until f
    // returns false.
    template <class F>
    void for_each_piece(PieceSet hand, F&& f) const {
        std::array<Bitboard, 8> anchors;  // no piece has more orientations
        for (std::uint32_t b = hand.bits(); b != 0; b &= b - 1) {
            const PieceType t = ALL_PIECE_TYPES[static_cast<std::size_t>(std::countr_zero(b))];
            const OrientationRange range = set_.orientations_of(t);
            check_index(range.end - range.start - 1, anchors.size());
            legal_anchors(open_at_.data(), corners_at_.data(), set_.shapes.data(), range.start,
                          range.end, anchors.data());
            if (!f(range, anchors)) return;
        }
    }

private:
    const ActionSet& set_;
    std::array<Bitboard, 32> open_at_, corners_at_;
};

}  // namespace

void legal_anchors_for(const ActionSet& set, PieceSet hand, const Bitboard& own,
                       const Bitboard& others, ActionMask& out) {
    ShiftedCells(set, own, others)
        .for_each_piece(hand, [&](OrientationRange range, const std::array<Bitboard, 8>& anchors) {
            for (std::size_t o = range.start; o < range.end; ++o)
                out.set_anchors(o, anchors[o - range.start]);
            return true;
        });
}

bool has_legal_placement(const ActionSet& set, PieceSet hand, const Bitboard& own,
                         const Bitboard& others) {
    bool found = false;
    ShiftedCells(set, own, others)
        .for_each_piece(hand, [&](OrientationRange range, const std::array<Bitboard, 8>& anchors) {
            for (std::size_t o = range.start; o < range.end && !found; ++o)
                found = !anchors[o - range.start].is_empty();
            return !found;
        });
    return found;
}

void write_planes(const std::array<Bitboard, NUM_AGENTS>& aligned, std::uint8_t* planes) {
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        write_plane(aligned[k], planes + k * BOARD_SIZE * BOARD_SIZE);
}

std::array<Bitboard, NUM_AGENTS> Game::align_boards(std::size_t agent_idx) const {
    if (agent_idx >= NUM_AGENTS)
        fatal("agent index " + std::to_string(agent_idx) + " out of range [0, " +
              std::to_string(NUM_AGENTS - 1) + "]");
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

void Game::refresh_mask(Agent& agent, const Bitboard& own, const Bitboard& others) {
    legal_anchors_for(*action_set, agent.available_pieces, own, others, agent.action_mask);
    if (!agent.action_mask.any()) agent.done = true;
}

const Agent& Game::refresh(std::size_t agent_idx) {
    const std::array<Bitboard, NUM_AGENTS> aligned = align_boards(agent_idx);
    Agent& agent = agents[agent_idx];
    if (agent.pieces_placed != 0 && !agent.done)
        refresh_mask(agent, aligned[0], aligned[1] | aligned[2] | aligned[3]);
    agent.mask_stale = false;
    return agent;
}

void Game::write_planes(std::size_t agent_idx, std::uint8_t* planes) const {
    game::write_planes(align_boards(agent_idx), planes);
}

void Game::write_view(std::size_t agent_idx, std::uint8_t* planes, std::uint8_t* mask,
                      MaskLayout layout) const {
    write_planes(agent_idx, planes);
    const ActionMask& legal = agents[agent_idx].action_mask;
    if (layout == MaskLayout::Bits) {
        legal.write_grid_bits(mask);
    } else {
        std::memset(mask, 0, action_set->num_actions());
        legal.mark_grid_bytes(mask);
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
