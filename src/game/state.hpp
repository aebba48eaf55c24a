// A position as a small value, which every surface but _tavlok plays on (the batches, the arena,
// the bots, the search and the package's Python): what each seat has placed and holds, the seat
// to move, and the placements that led here. Copying one copies 2,288 bytes (every seat's board in
// its four turns, in both cell orders, is most of it) and nothing else; legal placements are
// worked out only when asked for, by the rules Game plays by too (rules.hpp).
//
// Unlike Game, a State is always settled: the seat to move has a legal placement, or the game is
// over. After every placement the seats that have none are found done and passed, so a caller
// never observes or passes turns.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "game/rules.hpp"

namespace game {

// No game has more placements than every seat placing every piece.
inline constexpr std::size_t MAX_PLACEMENTS = NUM_AGENTS * NUM_PIECE_TYPES;

class State {
public:
    // A new game: seat 0 to move.
    State();

    // The seat to move: one with a legal placement unless the game is over, when it is the seat
    // that made the last placement.
    std::size_t seat() const { return to_move_; }
    bool is_terminal() const;

    // The seat's legal placements, exactly as Game::observe would find them: the start-corner
    // placements before its first piece, nothing once it is done.
    ActionMask legal_mask(std::size_t seat) const;
    ActionMask legal_mask() const { return legal_mask(to_move_); }

    // Places the piece that a grid index names for the seat to move, then passes the seats that
    // have no legal placement left. A move that is not legal is refused with the reason and
    // changes nothing.
    std::optional<InvalidAction> apply(std::size_t grid_index);
    // apply for a placement the caller knows to be legal for the seat to move (one that
    // legal_mask() holds), without checking it again: for the engine's own players, which pick
    // from that mask.
    void apply_legal(std::size_t grid_index);
    // The same, asking can_move(seat) whether each seat whose turn comes has a legal placement
    // (as pass_seats_that_cannot_move does), so that a caller who works out that seat's legal
    // placements anyway works them out once. can_move must answer as can_place would.
    template <class CanMove>
    void apply_legal(std::size_t grid_index, CanMove&& can_move);

    // A new game with the placements replayed; the index of the first refused one otherwise.
    struct Replay;
    static Replay from_history(std::span<const std::uint16_t> history);

    // The four final scores once the game is over, in seat order; nothing before.
    std::optional<std::array<std::int16_t, NUM_AGENTS>> scores() const;

    // The four seats as `seat` sees them.
    TableView seen_by(std::size_t seat) const { return {seats_, SEAT_ORDER, seat}; }

    // The grid indices placed so far, in order.
    std::span<const std::uint16_t> history() const { return {history_.data(), num_placements_}; }

    // The same position: every seat's cells and hand, the seat to move while the game goes on,
    // and, for a seat that has placed all its pieces, whether the monomino was its last (that
    // decides between 15 and 20). The order of the moves, and done flags that are only found out
    // when a seat's turn comes, do not count: they change nothing that can follow.
    bool operator==(const State& other) const;
    // A hash of what == compares, the same in every process.
    std::uint64_t hash() const;

    // The board in seat 0's frame, as Game::text draws it.
    std::string text() const { return board_text(seen_by(0)); }

private:
    std::array<SeatPosition, NUM_AGENTS> seats_;
    std::array<std::uint16_t, MAX_PLACEMENTS> history_{};
    std::uint8_t num_placements_ = 0;
    std::uint8_t to_move_ = 0;
};

template <class CanMove>
void State::apply_legal(std::size_t grid_index, CanMove&& can_move) {
    check_index(num_placements_, history_.size());
    seats_[to_move_].place(ACTION_SET(), grid_index);
    history_[num_placements_++] = static_cast<std::uint16_t>(grid_index);
    to_move_ = static_cast<std::uint8_t>((to_move_ + 1) % NUM_AGENTS);
    pass_seats_that_cannot_move(seats_, to_move_, can_move);
}

struct State::Replay {
    State state;
    // When a placement was refused: its position in the history, and why. `state` is then the
    // position before it.
    std::optional<std::size_t> refused_at;
    std::optional<InvalidAction> refusal;
};

}  // namespace game
