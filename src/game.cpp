#include "game.hpp"

#include <algorithm>

namespace game {

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
