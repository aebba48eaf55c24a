// One four-player game as the specified model behind _tavlok: the turn rules with a mask kept per
// seat, stale flags and done found on observe, each seat's observation and the text form. The
// package's batches, arena and search stand on State (game/state.hpp) instead; both play by the
// rules of game/rules.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "game/actions.hpp"
#include "game/agents.hpp"
#include "game/alloc.hpp"
#include "game/errors.hpp"
#include "game/rules.hpp"

namespace game {

// One seat's view: the four boards in its frame as 0/1 bytes (plane, row, col), and its legal
// actions as one 0/1 byte per grid index.
struct Observation {
    Bytes observation;
    Bytes action_mask;
};

class Game {
public:
    // A new game: seat 0 to move, every seat holding all pieces with its start-corner mask.
    // The first game of the process builds the shared action set.
    Game();

    // Applies or refuses one move of the seat to move. A done seat's turn is passed whatever
    // the action. A refused move changes nothing.
    std::optional<InvalidAction> step(std::optional<std::size_t> grid_index);

    // The score of every done seat, in seat order; empty for seats still playing.
    std::array<std::optional<std::int16_t>, NUM_AGENTS> rewards() const;

    // The four boards in seat agent_idx's frame: entry k is seat (agent_idx + k) % 4.
    std::array<Bitboard, NUM_AGENTS> align_boards(std::size_t agent_idx) const {
        const TableView seen = seen_by(agent_idx);
        return {seen.board(0), seen.board(1), seen.board(2), seen.board(3)};
    }

    // Brings the seat's mask up to date, marks it done when nothing is legal, clears its stale
    // flag and returns its view. Any seat may be observed at any time.
    Observation observe(std::size_t agent_idx);

    // The board in seat 0's frame with ANSI colours: 41 lines, no trailing newline.
    std::string text() const { return board_text(seen_by(0)); }

    std::array<Agent, NUM_AGENTS> agents;
    SeatOrder seat_order = SEAT_ORDER;
    const ActionSet* action_set;
    std::size_t agent_selection = 0;
    std::size_t num_agents = NUM_AGENTS;

private:
    // The four seats as seat agent_idx sees them, in the order of its row of seat_order.
    TableView seen_by(std::size_t agent_idx) const { return {agents, seat_order, agent_idx}; }
};

}  // namespace game
