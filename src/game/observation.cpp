// Each seat's view of the game, and the one place where legal moves are decided.
#include <string>

#include "game.hpp"

namespace game {

std::array<Bitboard, NUM_AGENTS> Game::align_boards(std::size_t agent_idx) const {
    if (agent_idx >= NUM_AGENTS)
        fatal("agent index " + std::to_string(agent_idx) + " out of range [0, " +
              std::to_string(NUM_AGENTS - 1) + "]");
    const auto& order = seat_order[agent_idx];
    const auto board_of = [&](std::size_t k) -> const Bitboard& {
        check_index(order[k], NUM_AGENTS);
        return agents[order[k]].board;
    };
    // Seats sit clockwise: the next seat's frame is a quarter turn clockwise from ours, the seat
    // across a half turn, the previous seat a quarter turn anticlockwise.
    return {
        board_of(0),
        board_of(1).flip().mirror_diagonal(),
        board_of(2).mirror_diagonal().flip().mirror_diagonal().flip(),
        board_of(3).mirror_diagonal().flip(),
    };
}

void Game::refresh_mask(Agent& agent, const std::array<Bitboard, NUM_AGENTS>& aligned) {
    const Bitboard& own = aligned[0];
    const Bitboard others = aligned[1] | aligned[2] | aligned[3];
    // A placement may not cover an own cell, a cell beside one, or anyone else's cell, and must
    // touch an own cell at a corner. Own cells are in both sets, so only diagonals decide.
    const Bitboard blocked = ((own | edge_neighbours(own)) & VALID_CELLS) | others;
    const Bitboard corners = (own | corner_neighbours(own)) & VALID_CELLS;
    agent.available_pieces.for_each([&](PieceType t) {
        const ActionRange range = action_set->range_of(t);
        check_index(range.end - 1, action_set->actions.size());
        for (std::size_t i = range.start; i < range.end; ++i) {
            const Bitboard& cells = action_set->actions[i].cells;
            agent.action_mask.set(i, !cells.intersects(blocked) && cells.intersects(corners));
        }
    });
    if (!agent.action_mask.any()) agent.done = true;
}

Observation Game::observe(std::size_t agent_idx) {
    const std::array<Bitboard, NUM_AGENTS> aligned = align_boards(agent_idx);
    Agent& agent = agents[agent_idx];
    if (agent.pieces_placed != 0 && !agent.done) refresh_mask(agent, aligned);
    agent.mask_stale = false;

    Observation result;
    result.observation.resize(PLANE_BYTES);
    std::size_t out = 0;
    for (const Bitboard& board : aligned) {
        const Bitboard::Grid grid = board.to_grid();
        for (const auto& row : grid)
            for (bool cell : row) result.observation[out++] = cell ? 1 : 0;
    }
    result.action_mask = action_set->grid_mask(agent.action_mask);
    return result;
}

}  // namespace game
