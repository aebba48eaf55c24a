#include "game/state.hpp"

#include <algorithm>

namespace game {

namespace {

// splitmix64's finaliser: spreads every input bit over the whole word.
constexpr std::uint64_t mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Whether a seat that has placed everything ended on the monomino: the one part of its last piece
// that the score reads.
bool ended_on_monomino(const SeatPosition& seat) {
    return seat.available_pieces.empty() && seat.last_piece == PieceType::Monomino;
}

}  // namespace

State::State() { ACTION_SET(); }

bool State::is_terminal() const {
    return std::all_of(seats_.begin(), seats_.end(), [](const SeatPosition& s) { return s.done; });
}

const SeatPosition& State::position_of(std::size_t seat) const {
    check_index(seat, NUM_AGENTS);
    return seats_[seat];
}

std::array<Bitboard, NUM_AGENTS> State::align_boards(std::size_t seat) const {
    check_index(seat, NUM_AGENTS);
    // Seats sit clockwise: the seat k places after the viewer is seen turned k quarter turns.
    std::array<Bitboard, NUM_AGENTS> aligned;
    for (std::size_t k = 0; k < NUM_AGENTS; ++k)
        aligned[k] = seats_[(seat + k) % NUM_AGENTS].board_turned(k);
    return aligned;
}

Bitboard State::others_seen_by(std::size_t seat) const {
    Bitboard others;
    for (std::size_t k = 1; k < NUM_AGENTS; ++k)
        others |= seats_[(seat + k) % NUM_AGENTS].board_turned(k);
    return others;
}

GridSet State::others_in_grid_seen_by(std::size_t seat) const {
    GridSet others;
    for (std::size_t k = 1; k < NUM_AGENTS; ++k)
        others |= seats_[(seat + k) % NUM_AGENTS].grid_turned[k];
    return others;
}

ActionMask State::legal_mask(std::size_t seat) const {
    const SeatPosition& s = position_of(seat);
    const ActionSet& set = ACTION_SET();
    // Game never recomputes the mask of a seat that has not placed, nor of one that is done.
    if (s.pieces_placed == 0) return set.initial_mask;
    ActionMask mask;
    if (!s.done)
        legal_anchors_for(set, s.available_pieces, s.grid_turned[0], others_in_grid_seen_by(seat),
                          mask);
    return mask;
}

std::optional<InvalidAction> State::apply(std::size_t grid_index) {
    if (is_terminal()) return InvalidAction{"the game is over"};
    const ActionSet& set = ACTION_SET();
    if (grid_index >= set.grid.size())
        return InvalidAction{"grid index " + std::to_string(grid_index) + " is outside 0 to " +
                             std::to_string(set.grid.size() - 1)};
    const std::optional<std::size_t> action_index = set.grid[grid_index];
    if (!action_index)
        return InvalidAction{"grid index " + std::to_string(grid_index) +
                             " names no placement: the piece does not fit there"};
    const Action& action = set.actions[*action_index];
    SeatPosition& mover = seats_[to_move_];
    const auto refuse = [&](const char* reason) {
        return InvalidAction{std::string(name(action.piece_type)) + " at grid index " +
                             std::to_string(grid_index) + " for seat " + std::to_string(to_move_) +
                             ": " + reason};
    };
    if (!mover.available_pieces.contains(action.piece_type))
        return refuse("the seat has placed that piece already");
    if (mover.pieces_placed == 0) {
        if (!set.initial_mask.test(*action_index))
            return refuse("a seat's first piece must cover its start corner");
    } else {
        // Legal exactly when legal_anchors_for would have the anchor; the rest names the rule
        // that the move breaks.
        const Bitboard others = others_seen_by(to_move_);
        const Bitboard open = open_cells(mover.board, others);
        if (!(action.cells & ~open).is_empty()) {
            if (action.cells.intersects(mover.board | others))
                return refuse("it overlaps a piece on the board");
            return refuse("it shares an edge with one of the seat's own pieces");
        }
        if (!action.cells.intersects(corner_cells(mover.board, open)))
            return refuse("it touches none of the seat's own pieces at a corner");
    }
    check_index(num_placements_, history_.size());
    mover.place(set, grid_index);
    history_[num_placements_++] = static_cast<std::uint16_t>(grid_index);
    to_move_ = static_cast<std::uint8_t>((to_move_ + 1) % NUM_AGENTS);
    settle();
    return std::nullopt;
}

void State::settle() {
    // As Game::settle: a seat is found done when its turn comes without a legal placement, and
    // play stops at the seat found done last once all four are.
    for (;;) {
        SeatPosition& s = seats_[to_move_];
        if (!s.done) {
            // Game keeps the start-corner mask of a seat that has not placed, never done.
            if (s.pieces_placed == 0 ||
                has_legal_placement(ACTION_SET(), s.available_pieces, s.grid_turned[0],
                                    others_in_grid_seen_by(to_move_)))
                return;
            s.done = true;
        }
        if (is_terminal()) return;
        to_move_ = static_cast<std::uint8_t>((to_move_ + 1) % NUM_AGENTS);
    }
}

State::Replay State::from_history(std::span<const std::uint16_t> history) {
    Replay replay;
    // A game is over after MAX_PLACEMENTS placements at the latest, so a longer history is
    // refused before it could overflow this state's own.
    for (std::size_t i = 0; i < history.size(); ++i) {
        if (std::optional<InvalidAction> refusal = replay.state.apply(history[i])) {
            replay.refused_at = i;
            replay.refusal = std::move(refusal);
            break;
        }
    }
    return replay;
}

std::optional<std::array<std::int16_t, NUM_AGENTS>> State::scores() const {
    if (!is_terminal()) return std::nullopt;
    std::array<std::int16_t, NUM_AGENTS> scores;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) scores[seat] = final_score(seats_[seat]);
    return scores;
}

bool State::operator==(const State& other) const {
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        const SeatPosition &a = seats_[seat], &b = other.seats_[seat];
        if (a.board != b.board || a.available_pieces != b.available_pieces ||
            ended_on_monomino(a) != ended_on_monomino(b))
            return false;
    }
    // Whether the game is over follows from the cells and hands; who "moves" after it does not
    // matter.
    return is_terminal() == other.is_terminal() && (is_terminal() || to_move_ == other.to_move_);
}

std::uint64_t State::hash() const {
    std::uint64_t h = is_terminal() ? NUM_AGENTS : to_move_;
    for (const SeatPosition& s : seats_) {
        for (const std::uint64_t word : s.board.words) h = mix(h ^ word);
        h = mix(h ^ s.available_pieces.bits() ^
                (static_cast<std::uint64_t>(ended_on_monomino(s)) << 32));
    }
    return h;
}

std::string State::text() const {
    // The drawing belongs to Game; a game holding only these boards draws the same picture.
    Game game;
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        game.agents[seat].board = seats_[seat].board;
        game.agents[seat].turned = seats_[seat].turned;
        game.agents[seat].grid_turned = seats_[seat].grid_turned;
    }
    return game.text();
}

}  // namespace game
