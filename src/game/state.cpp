#include "game/state.hpp"

#include <algorithm>

#include "game/random.hpp"

namespace game {

namespace {

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

ActionMask State::legal_mask(std::size_t seat) const { return game::legal_mask(seen_by(seat)); }

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
    if (const char* reason = placement_refusal(seen_by(to_move_), action))
        return InvalidAction{std::string(name(action.piece_type)) + " at grid index " +
                             std::to_string(grid_index) + " for seat " + std::to_string(to_move_) +
                             ": " + reason};
    apply_legal(grid_index);
    return std::nullopt;
}

void State::apply_legal(std::size_t grid_index) {
    apply_legal(grid_index, [&](std::size_t seat) { return can_place(seen_by(seat)); });
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
        for (const std::uint64_t word : s.board.words) h = splitmix64_mix(h ^ word);
        h = splitmix64_mix(h ^ s.available_pieces.bits() ^
                (static_cast<std::uint64_t>(ended_on_monomino(s)) << 32));
    }
    return h;
}

}  // namespace game
