// The action set: every placement of every orientation on the empty board, built once per
// process and shared read-only by every game.
//
// Two index spaces: the action index (position in `actions`, what agents' masks are indexed by)
// and the grid index (orientation * 400 + row * 20 + col, what callers pass to step and the layout
// of the mask that observe hands out).
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/alloc.hpp"
#include "game/bitboard.hpp"
#include "game/pieces.hpp"

namespace game {

inline constexpr std::size_t CELLS_PER_ORIENTATION = BOARD_SIZE * BOARD_SIZE;
inline constexpr std::size_t NUM_GRID_INDICES = NUM_ORIENTATIONS * CELLS_PER_ORIENTATION;
inline constexpr std::size_t NUM_ACTIONS = 30433;

struct Action {
    Bitboard cells;
    std::size_t grid_index = 0;
    PieceType piece_type = PieceType::Monomino;
};

// Half-open run [start, end) of action indices.
struct ActionRange {
    std::size_t start = 0;
    std::size_t end = 0;
};

// One bit per action index: an agent's legal actions, kept inline so that creating a game
// allocates nothing for it.
class ActionMask {
public:
    static constexpr std::size_t WORDS = (NUM_ACTIONS + 63) / 64;

    constexpr std::size_t size() const { return NUM_ACTIONS; }
    bool test(std::size_t i) const { return (words_[i / 64] >> (i % 64)) & 1u; }
    void set(std::size_t i, bool value) {
        const std::uint64_t bit = std::uint64_t{1} << (i % 64);
        words_[i / 64] = value ? (words_[i / 64] | bit) : (words_[i / 64] & ~bit);
    }
    void clear_range(ActionRange range) {
        for (std::size_t i = range.start; i < range.end; ++i) set(i, false);
    }
    bool any() const {
        std::uint64_t acc = 0;
        for (std::uint64_t w : words_) acc |= w;
        return acc != 0;
    }
    std::size_t count() const {
        std::size_t n = 0;
        for (std::uint64_t w : words_) n += static_cast<std::size_t>(std::popcount(w));
        return n;
    }
    // Calls f(action_index) for every set bit, in ascending order.
    template <class F>
    void for_each(F&& f) const {
        for (std::size_t w = 0; w < WORDS; ++w)
            for (std::uint64_t bits = words_[w]; bits != 0; bits &= bits - 1)
                f(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
    }
    bool operator==(const ActionMask&) const = default;

private:
    std::array<std::uint64_t, WORDS> words_{};
};

struct ActionSet {
    Vec<Action> actions;
    Vec<std::optional<std::size_t>> grid;
    // Indexed by position(piece type): the run of action indices of all its orientations.
    std::array<ActionRange, NUM_PIECE_TYPES> piece_ranges{};
    // The placements that cover cell (0, 0), the start corner of every agent's own frame.
    ActionMask initial_mask;

    std::size_t num_actions() const { return grid.size(); }
    std::size_t num_orientations() const { return grid.size() / CELLS_PER_ORIENTATION; }
    ActionRange range_of(PieceType t) const { return piece_ranges[position(t)]; }

    // One entry per action index, true for the placements that cover cell (0, 0).
    Vec<bool> initial_actions() const;

    // The mask laid out on the grid: one byte per grid index, 1 where the action is in the mask.
    // Entries past the smaller of the mask's length and the number of actions stay 0.
    Bytes grid_mask(const Vec<bool>& mask) const;
    Bytes grid_mask(const ActionMask& mask) const;

    static ActionSet build();
};

// The process-wide action set, built by the first caller; later callers wait for it.
const ActionSet& ACTION_SET();

}  // namespace game
