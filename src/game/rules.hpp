// The rules of a turn, written once for the two position types that play them: Game (behind
// _tavlok, with a mask kept per seat, stale flags and done found on observe) and State (a small
// value that is always settled, which every other surface stands on: the batches, the arena, the
// bots and the search). They work on what those hold: each seat's SeatPosition and the shared
// ActionSet. Placing a piece is SeatPosition::place, defined with these rules.
#pragma once

#include <algorithm>
#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "game/actions.hpp"
#include "game/agents.hpp"
#include "game/bitboard.hpp"
#include "game/errors.hpp"
#include "game/grid_set.hpp"

namespace game {

inline constexpr std::size_t NUM_AGENTS = 4;
inline constexpr std::size_t PLANE_BYTES = NUM_AGENTS * BOARD_SIZE * BOARD_SIZE;
// One 0/1 byte per seat and piece kind: which kinds each seat still holds.
inline constexpr std::size_t HAND_BYTES = NUM_AGENTS * NUM_PIECE_TYPES;

// Row p lists the seats p, p + 1, p + 2, p + 3 (mod 4): the order in which seat p sees the boards.
using SeatOrder = std::array<std::array<std::uint8_t, NUM_AGENTS>, NUM_AGENTS>;
inline constexpr SeatOrder SEAT_ORDER = {{{0, 1, 2, 3}, {1, 2, 3, 0}, {2, 3, 0, 1}, {3, 0, 1, 2}}};

// ---- What a seat sees -------------------------------------------------------------------------

// The four seats in the order one seat (the observer) sees them, each board turned into the
// observer's frame. Seats sit clockwise: entry k is the seat that places k turns after the
// observer, seen turned k quarter turns clockwise. Every seat keeps its board in all four turns
// (SeatPosition::place), so a view turns nothing.
class TableView {
public:
    // Seat `observer` of `seats`, with the seats in the order of `order`'s row for it. An observer
    // of 4 or more, or an order naming a seat of 4 or more, stops fatally.
    template <std::derived_from<SeatPosition> Seat>
    TableView(const std::array<Seat, NUM_AGENTS>& seats, const SeatOrder& order,
              std::size_t observer) {
        check_observer(observer);
        for (std::size_t k = 0; k < NUM_AGENTS; ++k) {
            const std::size_t seat = order[observer][k];
            check_index(seat, NUM_AGENTS);
            seats_[k] = &seats[seat];
        }
    }

    const SeatPosition& observer() const { return *seats_[0]; }
    // Entry k: the seat that places k turns after the observer.
    const SeatPosition& seat(std::size_t k) const { return *seats_[k]; }
    const Bitboard& board(std::size_t k) const { return seats_[k]->board_turned(k); }
    const GridSet& grid(std::size_t k) const { return seats_[k]->grid_turned[k]; }

    // The cells of every seat but the observer.
    Bitboard others() const { return board(1) | board(2) | board(3); }
    GridSet others_grid() const { return grid(1) | grid(2) | grid(3); }

    // The four boards as PLANE_BYTES 0/1 bytes: plane k, row, col.
    void write_planes(std::uint8_t* planes) const;
    // The four hands as HAND_BYTES 0/1 bytes: row k for entry k, column j for the j-th kind of
    // ALL_PIECE_TYPES, 1 while that seat still holds it.
    void write_hands(std::uint8_t* hands) const;

private:
    static void check_observer(std::size_t observer);

    std::array<const SeatPosition*, NUM_AGENTS> seats_;
};

// The seat covering each cell of a board, row by row; -1 where none does.
using Owners = std::array<std::int8_t, BOARD_SIZE * BOARD_SIZE>;

// The ANSI escapes that set each seat's background colour, in seat order.
inline constexpr std::array<std::string_view, NUM_AGENTS> SEAT_BACKGROUNDS = {
    "\x1b[44m", "\x1b[43m", "\x1b[41m", "\x1b[42m"};

// A board as text: 41 lines of 103 columns, no trailing newline, each covered cell an "x" on its
// seat's background colour, or without `colour` the seat's number.
std::string board_text(const Owners& owners, bool colour);

// The board as seat 0 sees it, with colours.
std::string board_text(const TableView& seat0);

// ---- Which placements are legal ---------------------------------------------------------------

// The placement rule for a seat that has placed before, as set algebra. A piece may cover only
// open cells: on the board, not the seat's own, not beside one of its own, and not another seat's.
// At least one of its cells must be a corner cell: an open cell that touches one of the seat's own
// cells at a corner. `own` and `others` are in the seat's frame. (The legality kernel works the
// same rule out in grid order: placement_cells in grid_set.hpp.)
inline Bitboard open_cells(const Bitboard& own, const Bitboard& others) {
    const Bitboard blocked = ((own | edge_neighbours(own)) & VALID_CELLS) | others;
    return VALID_CELLS & ~blocked;
}
inline Bitboard corner_cells(const Bitboard& own, const Bitboard& open) {
    return corner_neighbours(own) & open;
}

// The legal anchors of the observer's pieces in hand, for an observer that has placed before,
// written into `out`; the orientations of other pieces are left as they are. Returns whether any
// anchor is legal.
bool write_legal_anchors(const TableView& seen, ActionMask& out);
// The same for a pick among them: every orientation's legal anchors of the pieces in hand, and
// nothing else, end up in `out`.
bool write_legal_anchors(const TableView& seen, CountedAnchors& out);

// Every legal placement of the observer: before its first piece, those that cover its start corner
// (ActionSet::initial_mask; nothing on the board can take all of them away); none once it is done.
ActionMask legal_mask(const TableView& seen);

// Whether the observer, not done, has a legal placement; stops at the first one found.
bool can_place(const TableView& seen);

// Why the rules forbid `action` to the observer, not done, or nullptr when they allow it. Decides
// exactly as legal_mask does, and names the rule that the placement breaks.
const char* placement_refusal(const TableView& seen, const Action& action);

// ---- Passing, and the end ---------------------------------------------------------------------

// Passes the turn of every seat that cannot move. From the seat to move on, a seat that is not
// done is asked whether it can move (`can_move(seat)`, asked only when its turn comes, which is
// when a seat is found done); the first that can is where play stops, and this returns true. One
// that cannot is done from then on, and the turn passes to the next seat. Once all four are done
// play stops at the seat found done last, and this returns false.
template <std::derived_from<SeatPosition> Seat, class Index, class CanMove>
bool pass_seats_that_cannot_move(std::array<Seat, NUM_AGENTS>& seats, Index& to_move,
                                 CanMove&& can_move) {
    // Each seat is asked at most once before it is found done, so this ends within eight rounds.
    for (;;) {
        Seat& seat = seats[to_move];
        if (!seat.done) {
            if (can_move(static_cast<std::size_t>(to_move))) return true;
            seat.done = true;
        }
        if (std::all_of(seats.begin(), seats.end(), [](const Seat& s) { return s.done; }))
            return false;
        to_move = static_cast<Index>((to_move + 1) % NUM_AGENTS);
    }
}

// The score of a seat that is done: minus the cells it still holds, or 15 when it placed every
// piece (20 when the monomino was its last).
std::int16_t final_score(const SeatPosition& seat);

// Seat `seat`'s share of the win in a game that ended with `scores`: 1 shared equally by the seats
// with the best score, 0 to the others.
double win_share(const std::array<std::int16_t, NUM_AGENTS>& scores, std::size_t seat);

}  // namespace game
