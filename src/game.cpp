#include "game.hpp"

#include <algorithm>

namespace game {

namespace {

// Adds the cells, turned 0 to 3 quarter turns clockwise, to the turned boards. A quarter turn
// clockwise takes (r, c) to (c, 19 - r).
void add_turned_cells(SeatPosition& seat, const Bitboard& cells) {
    for (std::size_t w = 0; w < Bitboard::WORDS; ++w) {
        for (std::uint64_t bits = cells.words[w]; bits != 0; bits &= bits - 1) {
            const std::size_t bit = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
            std::size_t r = bit / ROW_STRIDE, c = bit % ROW_STRIDE;
            seat.grid_turned[0].set(r * BOARD_SIZE + c);
            for (std::size_t k = 1; k < 4; ++k) {
                const std::size_t turned_r = c, turned_c = BOARD_SIZE - 1 - r;
                r = turned_r;
                c = turned_c;
                const std::size_t turned_bit = cell_index(r, c);
                seat.turned[k - 1].words[turned_bit / 64] |= std::uint64_t{1} << (turned_bit % 64);
                seat.grid_turned[k].set(r * BOARD_SIZE + c);
            }
        }
    }
}

}  // namespace

void SeatPosition::place(const Action& action) {
    board |= action.cells;
    add_turned_cells(*this, action.cells);
    pieces_placed += 1;
    available_pieces.remove(action.piece_type);
    last_piece = action.piece_type;
}

std::int16_t final_score(const SeatPosition& seat) {
    int cells_left = 0;
    seat.available_pieces.for_each(
        [&](PieceType t) { cells_left += static_cast<int>(num_cells(t)); });
    if (cells_left != 0) return static_cast<std::int16_t>(-cells_left);
    return seat.last_piece == PieceType::Monomino ? 20 : 15;
}

Game::Game()
    : agents{Agent(0, ACTION_SET().initial_mask), Agent(1, ACTION_SET().initial_mask),
             Agent(2, ACTION_SET().initial_mask), Agent(3, ACTION_SET().initial_mask)},
      seat_order{{{0, 1, 2, 3}, {1, 2, 3, 0}, {2, 3, 0, 1}, {3, 0, 1, 2}}},
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
    if (!grid_index || *grid_index >= action_set->grid.size()) {
        return InvalidAction{ACTION_NOT_AVAILABLE};
    }
    const std::optional<std::size_t> action_index = action_set->grid[*grid_index];
    if (!action_index) return InvalidAction{ACTION_NOT_AVAILABLE};
    check_index(*action_index, agent.action_mask.size());
    if (!agent.action_mask.test_grid(*grid_index)) return InvalidAction{ACTION_NOT_AVAILABLE};

    const Action& action = action_set->actions[*action_index];
    agent.place(action);
    agent.action_mask.clear_orientations(action_set->orientations_of(action.piece_type));
    for (Agent& a : agents) a.mask_stale = true;
    agent_selection = next;
    return std::nullopt;
}

bool Game::settle() {
    // Each seat is refreshed at most once before it is found done, so this ends within eight
    // rounds.
    for (;;) {
        if (!agents[agent_selection].done && !refresh(agent_selection).done) return true;
        if (std::all_of(agents.begin(), agents.end(), [](const Agent& a) { return a.done; }))
            return false;
        step(std::nullopt);
    }
}

std::array<std::optional<std::int16_t>, NUM_AGENTS> Game::rewards() const {
    std::array<std::optional<std::int16_t>, NUM_AGENTS> scores;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat)
        if (agents[seat].done) scores[seat] = final_score(agents[seat]);
    return scores;
}

}  // namespace game
