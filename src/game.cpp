#include "game.hpp"

namespace game {

Game::Game()
    : agents{Agent(0, ACTION_SET().initial_mask), Agent(1, ACTION_SET().initial_mask),
             Agent(2, ACTION_SET().initial_mask), Agent(3, ACTION_SET().initial_mask)},
      action_set(&ACTION_SET()) {}

std::optional<InvalidAction> Game::step(std::optional<std::size_t> grid_index) {
    const std::size_t seat = agent_selection;
    check_index(seat, NUM_AGENTS);
    Agent& agent = agents[seat];
    const std::size_t next = (seat + 1) % NUM_AGENTS;

    if (agent.done) {
        agent_selection = next;
        return std::nullopt;
    }
    // A seat that has not placed anything keeps its start-corner mask, which no move can stale.
    if (agent.mask_stale && agent.pieces_placed != 0) return InvalidAction{STALE_MASK};
    // A mask holds only grid indices that name a placement, so this also refuses the indices of
    // shapes that would leave the board.
    if (!grid_index || *grid_index >= NUM_GRID_INDICES || !agent.action_mask.test_grid(*grid_index))
        return InvalidAction{ACTION_NOT_AVAILABLE};

    agent.place(*action_set, *grid_index);
    const PieceType piece = action_set->shapes[*grid_index / CELLS_PER_ORIENTATION].piece;
    agent.action_mask.clear_orientations(action_set->orientations_of(piece));
    for (Agent& a : agents) a.mask_stale = true;
    agent_selection = next;
    return std::nullopt;
}

std::array<std::optional<std::int16_t>, NUM_AGENTS> Game::rewards() const {
    std::array<std::optional<std::int16_t>, NUM_AGENTS> scores;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        if (agents[seat].done) scores[seat] = final_score(agents[seat]);
    return scores;
}

Observation Game::observe(std::size_t agent_idx) {
    const TableView seen = seen_by(agent_idx);
    Agent& agent = agents[agent_idx];
    if (agent.pieces_placed != 0 && !agent.done) {
        write_legal_anchors(seen, agent.action_mask);
        if (!agent.action_mask.any()) agent.done = true;
    }
    agent.mask_stale = false;
    Observation result;
    result.observation.resize(PLANE_BYTES);  // written whole, so not zero-filled
    seen.write_planes(result.observation.data());
    result.action_mask = action_set->grid_mask(agent.action_mask);
    return result;
}

}  // namespace game
