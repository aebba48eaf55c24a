// A set of cells of the 20 x 20 board as one 512-bit value.
//
// Cell (row r, column c) is bit r * 21 + c. Each row carries a 21st bit, the guard bit
// r * 21 + 20, which is never a cell: a shift by one of the neighbour distances moves a cell of
// column 19 onto a guard bit instead of onto column 0 of the next row, so one AND with VALID_CELLS
// removes every move that left the board. Bits 420 to 511 catch whatever is shifted below row 19.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "game/word_set.hpp"

namespace game {

inline constexpr std::size_t BOARD_SIZE = 20;
inline constexpr std::size_t ROW_STRIDE = 21;
inline constexpr std::size_t NUM_BITS = 512;
// Bits at or above this index are never cells; 419 is the last row's guard bit.
inline constexpr std::size_t CELL_BIT_LIMIT = BOARD_SIZE * ROW_STRIDE;

using u128 = unsigned __int128;

constexpr std::size_t cell_index(std::size_t row, std::size_t col) {
    return row * ROW_STRIDE + col;
}

struct Bitboard : WordSet<Bitboard> {
    static constexpr std::size_t WORDS = NUM_BITS / 64;
    // Least significant word first: bit i lives in words[i / 64] at position i % 64.
    std::array<std::uint64_t, WORDS> words{};

    static constexpr Bitboard from_low_bits(u128 value) {
        Bitboard b;
        b.words[0] = static_cast<std::uint64_t>(value);
        b.words[1] = static_cast<std::uint64_t>(value >> 64);
        return b;
    }

    static constexpr Bitboard single(std::size_t bit) {
        Bitboard b;
        b.words[bit / 64] = std::uint64_t{1} << (bit % 64);
        return b;
    }

    static constexpr Bitboard cell(std::size_t row, std::size_t col) {
        return single(cell_index(row, col));
    }

    constexpr Bitboard operator~() const {
        Bitboard r;
        for (std::size_t i = 0; i < WORDS; ++i) r.words[i] = ~words[i];
        return r;
    }

    // Shift toward higher bit indices as one 512-bit integer; bits past 511 are lost.
    constexpr Bitboard operator<<(std::size_t n) const {
        Bitboard r;
        if (n >= NUM_BITS) return r;
        const std::size_t word_shift = n / 64, bit_shift = n % 64;
        for (std::size_t i = WORDS; i-- > word_shift;) {
            std::uint64_t w = words[i - word_shift] << bit_shift;
            if (bit_shift != 0 && i > word_shift)
                w |= words[i - word_shift - 1] >> (64 - bit_shift);
            r.words[i] = w;
        }
        return r;
    }

    // Shift toward lower bit indices; bits below 0 are lost and zeros come in at the top.
    constexpr Bitboard operator>>(std::size_t n) const {
        Bitboard r;
        if (n >= NUM_BITS) return r;
        const std::size_t word_shift = n / 64, bit_shift = n % 64;
        for (std::size_t i = 0; i + word_shift < WORDS; ++i) {
            std::uint64_t w = words[i + word_shift] >> bit_shift;
            if (bit_shift != 0 && i + word_shift + 1 < WORDS)
                w |= words[i + word_shift + 1] << (64 - bit_shift);
            r.words[i] = w;
        }
        return r;
    }

    constexpr bool operator==(const Bitboard&) const = default;

    // Reads a bit without the range check of get(); for indices the caller already bounds.
    constexpr bool test(std::size_t bit) const { return (words[bit / 64] >> (bit % 64)) & 1u; }

    // The board moved x columns right and y rows down. Stops fatally when x or y is 20 or more.
    Bitboard translate(std::size_t x, std::size_t y) const;

    // The bit at index; stops fatally for indices of 420 and above.
    bool get(std::size_t index) const;

    using Grid = std::array<std::array<bool, BOARD_SIZE>, BOARD_SIZE>;
    Grid to_grid() const;

    // (r, c) -> (19 - r, c). Only cell bits are carried over.
    Bitboard flip() const;

    // (r, c) -> (c, r). Every bit that is not a cell is carried over unchanged.
    Bitboard mirror_diagonal() const;
};

namespace detail {
constexpr Bitboard make_valid_cells() {
    Bitboard b;
    for (std::size_t i = 0; i < CELL_BIT_LIMIT; ++i)
        if (i % ROW_STRIDE != BOARD_SIZE) b.words[i / 64] |= std::uint64_t{1} << (i % 64);
    return b;
}
}  // namespace detail

inline constexpr Bitboard VALID_CELLS = detail::make_valid_cells();

// Neighbour shifts, named by the direction a cell moves. Results may hold guard bits or bits of
// 420 and above; edge_neighbours and corner_neighbours drop those with VALID_CELLS.
constexpr Bitboard shift_right(const Bitboard& b) { return b << 1; }
constexpr Bitboard shift_left(const Bitboard& b) { return b >> 1; }
constexpr Bitboard shift_down(const Bitboard& b) { return b << ROW_STRIDE; }
constexpr Bitboard shift_up(const Bitboard& b) { return b >> ROW_STRIDE; }
constexpr Bitboard shift_down_left(const Bitboard& b) { return b << (ROW_STRIDE - 1); }
constexpr Bitboard shift_down_right(const Bitboard& b) { return b << (ROW_STRIDE + 1); }
constexpr Bitboard shift_up_right(const Bitboard& b) { return b >> (ROW_STRIDE - 1); }
constexpr Bitboard shift_up_left(const Bitboard& b) { return b >> (ROW_STRIDE + 1); }

// Cells that share an edge with a cell of b.
constexpr Bitboard edge_neighbours(const Bitboard& b) {
    return (shift_right(b) | shift_left(b) | shift_down(b) | shift_up(b)) & VALID_CELLS;
}

// Cells that touch a cell of b at a corner.
constexpr Bitboard corner_neighbours(const Bitboard& b) {
    return (shift_down_left(b) | shift_down_right(b) | shift_up_right(b) | shift_up_left(b)) &
           VALID_CELLS;
}

}  // namespace game
