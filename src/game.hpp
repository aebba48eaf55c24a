// One four-player game: the turn rules, scoring, each seat's observation and the text form.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

#include "game/actions.hpp"
#include "game/agents.hpp"
#include "game/alloc.hpp"
#include "game/bitboard.hpp"
#include "game/errors.hpp"
#include "game/pieces.hpp"

namespace game {

inline constexpr std::size_t NUM_AGENTS = 4;
inline constexpr std::size_t PLANE_BYTES = NUM_AGENTS * BOARD_SIZE * BOARD_SIZE;

// One seat's view: the four boards in its frame as 0/1 bytes (plane, row, col), and its legal
// actions as one 0/1 byte per grid index.
struct Observation {
    Bytes observation;
    Bytes action_mask;
};

// The placement rule for a seat that has placed before, shared by Game and the search State. A
// piece may cover only open cells: on the board, not the seat's own, not beside one of its own,
// and not another seat's. At least one of its cells must be a corner cell: an open cell that
// touches one of the seat's own cells at a corner. (A seat's first piece instead must cover its
// start corner: ActionSet::initial_mask.) `own` and `others` are in the seat's frame.
inline Bitboard open_cells(const Bitboard& own, const Bitboard& others) {
    const Bitboard blocked = ((own | edge_neighbours(own)) & VALID_CELLS) | others;
    return VALID_CELLS & ~blocked;
}
inline Bitboard corner_cells(const Bitboard& own, const Bitboard& open) {
    return corner_neighbours(own) & open;
}

// Writes into `out` the legal anchors of every orientation of the pieces in `hand`, for a seat
// that has placed before; the orientations of other pieces are left as they are.
void legal_anchors_for(const ActionSet& set, PieceSet hand, const GridSet& own,
                       const GridSet& others, ActionMask& out);

// Whether legal_anchors_for would find any legal placement; stops at the first piece that has
// one.
bool has_legal_placement(const ActionSet& set, PieceSet hand, const GridSet& own,
                         const GridSet& others);

// The score of a seat that is done: minus the cells it still holds, or 15 when it placed every
// piece (20 when the monomino was its last).
std::int16_t final_score(const SeatPosition& seat);

// Writes four aligned boards as PLANE_BYTES 0/1 bytes, plane, row, col.
void write_planes(const std::array<Bitboard, NUM_AGENTS>& aligned, std::uint8_t* planes);

// How observe_into lays out a grid mask: one 0/1 byte per grid index, or one bit per grid index
// packed most significant bit first (the order of numpy.packbits).
enum class MaskLayout { Bytes, Bits };

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
    std::array<Bitboard, NUM_AGENTS> align_boards(std::size_t agent_idx) const;

    // Brings the seat's mask up to date, marks it done when nothing is legal, clears its stale
    // flag and returns its view. Any seat may be observed at any time.
    Observation observe(std::size_t agent_idx);

    // The part of observe that changes the game: brings the seat's mask up to date, marks it
    // done when nothing is legal, and clears its stale flag.
    const Agent& refresh(std::size_t agent_idx);

    // The seat's planes and mask as they stand, into the caller's buffers (as observe_into).
    void write_view(std::size_t agent_idx, std::uint8_t* planes, std::uint8_t* mask,
                    MaskLayout layout = MaskLayout::Bytes) const;

    // Passes the turn of every done seat until the seat to move can move, refreshing each seat
    // to move on the way (only that finds out that a seat is done). Returns false, passing no
    // further, once all four seats are done.
    bool settle();

    // observe, writing into the caller's buffers: PLANE_BYTES plane bytes, and the grid mask as
    // num_actions bytes or num_actions / 8 bytes of bits. Every byte of both is written.
    void observe_into(std::size_t agent_idx, std::uint8_t* planes, std::uint8_t* mask,
                      MaskLayout layout = MaskLayout::Bytes);

    // The board in seat 0's frame with ANSI colours: 41 lines, no trailing newline.
    std::string text() const;

    std::array<Agent, NUM_AGENTS> agents;
    std::array<std::array<std::uint8_t, NUM_AGENTS>, NUM_AGENTS> seat_order;
    const ActionSet* action_set;
    std::size_t agent_selection = 0;
    std::size_t num_agents = NUM_AGENTS;

private:
    // Recomputes the mask of the pieces still in hand and sets done when nothing is legal.
    void refresh_mask(Agent& agent, const GridSet& own, const GridSet& others);
    // align_boards in grid order, without copying the boards.
    std::array<const GridSet*, NUM_AGENTS> aligned_grids(std::size_t agent_idx) const;
    void write_planes(std::size_t agent_idx, std::uint8_t* planes) const;
};

std::ostream& operator<<(std::ostream& out, const Game& game);

}  // namespace game
