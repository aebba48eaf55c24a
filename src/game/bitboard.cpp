#include "game/bitboard.hpp"

#include <string>

#include "game/errors.hpp"

namespace game {

Bitboard Bitboard::translate(std::size_t x, std::size_t y) const {
    if (x >= BOARD_SIZE || y >= BOARD_SIZE)
        fatal("Invalid translation of (0,0) to (" + std::to_string(x) + "," + std::to_string(y) +
              ")");
    return *this << (y * ROW_STRIDE + x);
}

bool Bitboard::get(std::size_t index) const {
    if (index >= CELL_BIT_LIMIT)
        fatal("Bitboard index " + std::to_string(index) + " out of range [0, " +
              std::to_string(CELL_BIT_LIMIT - 1) + "]");
    return test(index);
}

Bitboard::Grid Bitboard::to_grid() const {
    Grid grid{};
    for (std::size_t r = 0; r < BOARD_SIZE; ++r)
        for (std::size_t c = 0; c < BOARD_SIZE; ++c) grid[r][c] = test(cell_index(r, c));
    return grid;
}

Bitboard Bitboard::flip() const {
    constexpr std::uint64_t ROW_BITS = (std::uint64_t{1} << BOARD_SIZE) - 1;
    Bitboard result;
    for (std::size_t r = 0; r < BOARD_SIZE; ++r) {
        const std::uint64_t row = (*this >> (r * ROW_STRIDE)).words[0] & ROW_BITS;
        result |= Bitboard::from_low_bits(row) << ((BOARD_SIZE - 1 - r) * ROW_STRIDE);
    }
    return result;
}

Bitboard Bitboard::mirror_diagonal() const {
    Bitboard result = *this;
    for (std::size_t c = 1; c < BOARD_SIZE; ++c) {
        for (std::size_t r = 0; r < c; ++r) {
            const std::size_t a = cell_index(r, c), b = cell_index(c, r);
            if (result.test(a) != result.test(b)) {
                result.words[a / 64] ^= std::uint64_t{1} << (a % 64);
                result.words[b / 64] ^= std::uint64_t{1} << (b % 64);
            }
        }
    }
    return result;
}

}  // namespace game
