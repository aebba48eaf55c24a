// One seat's state: the pieces it still holds, the cells it covers (in its own frame, where its
// start corner is cell (0, 0)) and the placements it may make.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "game/actions.hpp"
#include "game/bitboard.hpp"
#include "game/grid_set.hpp"
#include "game/pieces.hpp"

namespace game {

// A seat's share of a position: what it has placed and what it still holds. Game keeps one in
// every Agent, beside its action mask; a State keeps four and nothing else, so that copying a
// position never copies a mask.
struct SeatPosition {
    // Pieces still in hand; a piece leaves the hand when it is placed and never comes back.
    PieceSet available_pieces = PieceSet::all();
    Bitboard board;
    // The board as the seats after this one see it: turned[k - 1] is `board` turned k quarter
    // turns clockwise. Kept up to date by every placement, so that observing never has to turn
    // whole boards.
    std::array<Bitboard, 3> turned{};
    // The same four boards in grid order, which the legality kernel and the planes read:
    // grid_turned[k] is `board` turned k quarter turns clockwise.
    std::array<GridSet, 4> grid_turned{};
    std::optional<PieceType> last_piece;
    std::uint8_t pieces_placed = 0;
    // No legal placement left when its turn came; never cleared.
    bool done = false;

    // `board` turned k quarter turns clockwise, k from 0 to 3.
    const Bitboard& board_turned(std::size_t k) const { return k == 0 ? board : turned[k - 1]; }

    // Puts the piece of the placement at grid_index on the board and takes it out of the hand.
    // Legality is the caller's business: grid_index must name a placement. One of the rules of a
    // turn, defined with the others in rules.cpp.
    void place(const ActionSet& set, std::size_t grid_index);
};

struct Agent : SeatPosition {
    // Valid while mask_stale is false, or while no piece has been placed yet.
    ActionMask action_mask;
    bool mask_stale = false;
    std::uint8_t index = 0;

    Agent(std::uint8_t seat, const ActionMask& initial_mask)
        : action_mask(initial_mask), index(seat) {}
};

}  // namespace game
