// Each seat's view of the game, and the one place where legal moves are decided.
#include <cstring>
#include <string>

#include "game.hpp"

namespace game {

namespace {

// Byte k of entry b is bit k of b: eight cells of a board row become eight 0/1 plane bytes.
constexpr std::array<std::uint64_t, 256> make_bit_bytes() {
    std::array<std::uint64_t, 256> table{};
    for (std::size_t b = 0; b < 256; ++b)
        for (std::size_t k = 0; k < 8; ++k)
            if ((b >> k) & 1u) table[b] |= std::uint64_t{1} << (8 * k);
    return table;
}
constexpr std::array<std::uint64_t, 256> BIT_BYTES = make_bit_bytes();

// Writes the 400 cells of a board as 0/1 bytes, row by row.
void write_plane(const Bitboard& board, std::uint8_t* out) {
    for (std::size_t r = 0; r < BOARD_SIZE; ++r, out += BOARD_SIZE) {
        const std::uint64_t row = (board >> (r * ROW_STRIDE)).words[0];
        const std::uint64_t bytes[3] = {BIT_BYTES[row & 0xff], BIT_BYTES[(row >> 8) & 0xff],
                                        BIT_BYTES[(row >> 16) & 0x0f]};
        std::memcpy(out, bytes, BOARD_SIZE);
    }
}

}  // namespace

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

void Game::refresh_mask(Agent& agent, const std::array<Bitboard, NUM_AGENTS>& aligned) {
    const Bitboard& own = aligned[0];
    const Bitboard others = aligned[1] | aligned[2] | aligned[3];
    // A placement may not cover an own cell, a cell beside one, or anyone else's cell, and must
    // touch an own cell at a corner: it must lie on free cells and cover a frontier cell.
    const Bitboard blocked = ((own | edge_neighbours(own)) & VALID_CELLS) | others;
    const Bitboard free = VALID_CELLS & ~blocked;
    const Bitboard frontier = corner_neighbours(own) & free;

    // Bit b of free >> d says whether the cell d past anchor b is free. Guard bits and bits of
    // 420 and above are never free, so an anchor whose shape would stick out of the board, or
    // wrap into the next row, fails by itself.
    const Vec<std::size_t>& offsets = action_set->cell_offsets;
    std::array<Bitboard, 32> free_at, frontier_at;
    check_index(offsets.size() - 1, free_at.size());
    for (std::size_t s = 0; s < offsets.size(); ++s) {
        free_at[s] = free >> offsets[s];
        frontier_at[s] = frontier >> offsets[s];
    }

    agent.available_pieces.for_each([&](PieceType t) {
        const OrientationRange range = action_set->orientations_of(t);
        for (std::size_t o = range.start; o < range.end; ++o) {
            const OrientationShape& shape = action_set->shapes[o];
            Bitboard fits = free_at[shape.offset_slots[0]];
            Bitboard touches = frontier_at[shape.offset_slots[0]];
            for (std::size_t j = 1; j < shape.num_cells; ++j) {
                fits &= free_at[shape.offset_slots[j]];
                touches |= frontier_at[shape.offset_slots[j]];
            }
            agent.action_mask.anchors(o) = fits & touches;
        }
    });
    if (!agent.action_mask.any()) agent.done = true;
}

const Agent& Game::update_view(std::size_t agent_idx, std::uint8_t* planes) {
    const std::array<Bitboard, NUM_AGENTS> aligned = align_boards(agent_idx);
    Agent& agent = agents[agent_idx];
    if (agent.pieces_placed != 0 && !agent.done) refresh_mask(agent, aligned);
    agent.mask_stale = false;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        write_plane(aligned[k], planes + k * BOARD_SIZE * BOARD_SIZE);
    return agent;
}

Observation Game::observe(std::size_t agent_idx) {
    Observation result;
    result.observation.resize(PLANE_BYTES);  // written whole below, so not zero-filled
    const Agent& agent = update_view(agent_idx, result.observation.data());
    // A zero-filled allocation becomes calloc, which can skip clearing memory that is fresh
    // from the system; only the legal entries are written afterwards.
    result.action_mask = Bytes(action_set->num_actions(), 0);
    agent.action_mask.mark_grid_bytes(result.action_mask.data());
    return result;
}

void Game::observe_into(std::size_t agent_idx, std::uint8_t* planes, std::uint8_t* mask,
                        MaskLayout layout) {
    const Agent& agent = update_view(agent_idx, planes);
    if (layout == MaskLayout::Bits) {
        agent.action_mask.write_grid_bits(mask);
    } else {
        std::memset(mask, 0, action_set->num_actions());
        agent.action_mask.mark_grid_bytes(mask);
    }
}

}  // namespace game
