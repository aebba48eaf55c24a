#include "game/bitboard.hpp"

#include <gtest/gtest.h>

#include "support/fatal.hpp"

namespace game {
namespace {

Bitboard guard_bits() {
    Bitboard b;
    for (std::size_t r = 0; r < BOARD_SIZE; ++r) b |= Bitboard::single(cell_index(r, BOARD_SIZE));
    return b;
}

Bitboard high_bits() {
    Bitboard b;
    for (std::size_t i = CELL_BIT_LIMIT; i < NUM_BITS; ++i) b |= Bitboard::single(i);
    return b;
}

// Some cells in every region of the board, for round-trip checks.
Bitboard scattered_cells() {
    Bitboard b;
    for (std::size_t r = 0; r < BOARD_SIZE; ++r)
        for (std::size_t c = 0; c < BOARD_SIZE; ++c)
            if ((r * 7 + c * 3) % 5 == 0 || r == c) b |= Bitboard::cell(r, c);
    return b;
}

TEST(Bitboard, ValidCellsAreExactlyThe400CellBits) {
    EXPECT_EQ(VALID_CELLS.count(), 400u);
    for (std::size_t i = 0; i < NUM_BITS; ++i)
        EXPECT_EQ(VALID_CELLS.test(i), i < 420 && i % 21 != 20) << i;
}

TEST(Bitboard, ShiftsMatchIntegerShiftsAcrossWords) {
    // A bit pattern that spans word boundaries, shifted by every distance, lands bit for bit.
    const Bitboard b = Bitboard::single(0) | Bitboard::single(63) | Bitboard::single(64) |
                       Bitboard::single(200) | Bitboard::single(511);
    for (std::size_t n = 0; n <= NUM_BITS; ++n) {
        const Bitboard up = b << n, down = b >> n;
        for (std::size_t i = 0; i < NUM_BITS; ++i) {
            EXPECT_EQ(up.test(i), i >= n && b.test(i - n)) << "up " << n << " bit " << i;
            EXPECT_EQ(down.test(i), i + n < NUM_BITS && b.test(i + n))
                << "down " << n << " bit " << i;
        }
    }
}

TEST(Bitboard, NeighbourShiftsNeverWrapAcrossRows) {
    EXPECT_EQ(shift_right(Bitboard::cell(5, 19)), Bitboard::single(cell_index(5, 20)));
    EXPECT_FALSE(shift_right(Bitboard::cell(5, 19)).intersects(VALID_CELLS));
    EXPECT_EQ(shift_left(Bitboard::cell(6, 0)), Bitboard::single(cell_index(5, 20)));
    for (std::size_t c = 0; c < BOARD_SIZE; ++c)
        EXPECT_TRUE(shift_down(Bitboard::cell(19, c)).test(cell_index(19, c) + 21));
    // No neighbourhood of an edge cell reaches the opposite edge.
    EXPECT_FALSE(edge_neighbours(Bitboard::cell(3, 19)).test(cell_index(4, 0)));
    EXPECT_FALSE(corner_neighbours(Bitboard::cell(3, 19)).test(cell_index(4, 0)));
    EXPECT_FALSE(corner_neighbours(Bitboard::cell(4, 0)).test(cell_index(3, 19)));
    EXPECT_EQ(edge_neighbours(Bitboard::cell(0, 0)), Bitboard::cell(0, 1) | Bitboard::cell(1, 0));
    EXPECT_EQ(corner_neighbours(Bitboard::cell(0, 0)), Bitboard::cell(1, 1));
    EXPECT_EQ(corner_neighbours(Bitboard::cell(10, 10)),
              Bitboard::cell(9, 9) | Bitboard::cell(9, 11) | Bitboard::cell(11, 9) |
                  Bitboard::cell(11, 11));
}

TEST(Bitboard, FlipAndMirrorMoveCells) {
    EXPECT_EQ(Bitboard::cell(0, 0).flip(), Bitboard::cell(19, 0));
    EXPECT_EQ(Bitboard::cell(3, 5).mirror_diagonal(), Bitboard::cell(5, 3));
    EXPECT_EQ(Bitboard::cell(7, 7).mirror_diagonal(), Bitboard::cell(7, 7));
    const Bitboard b = scattered_cells();
    const Bitboard noisy = b | guard_bits() | high_bits();
    EXPECT_EQ(noisy.flip().flip(), b);
    EXPECT_EQ(noisy.mirror_diagonal().mirror_diagonal(), noisy);
    EXPECT_TRUE((guard_bits() | high_bits()).flip().is_empty());
    EXPECT_EQ((guard_bits() | high_bits()).mirror_diagonal(), guard_bits() | high_bits());
}

TEST(Bitboard, TurnsMapCellsAsSeatsSee) {
    for (std::size_t r = 0; r < BOARD_SIZE; ++r) {
        for (std::size_t c = 0; c < BOARD_SIZE; ++c) {
            const Bitboard b = Bitboard::cell(r, c);
            EXPECT_EQ(b.flip().mirror_diagonal(), Bitboard::cell(c, 19 - r));
            EXPECT_EQ(b.mirror_diagonal().flip().mirror_diagonal().flip(),
                      Bitboard::cell(19 - r, 19 - c));
            EXPECT_EQ(b.mirror_diagonal().flip(), Bitboard::cell(19 - c, r));
        }
    }
}

TEST(Bitboard, ToGridReadsCellsOnly) {
    const Bitboard::Grid corner = Bitboard::cell(0, 19).to_grid();
    for (std::size_t r = 0; r < BOARD_SIZE; ++r)
        for (std::size_t c = 0; c < BOARD_SIZE; ++c) EXPECT_EQ(corner[r][c], r == 0 && c == 19);
    const Bitboard::Grid guards = (guard_bits() | high_bits()).to_grid();
    for (const auto& row : guards)
        for (bool cell : row) EXPECT_FALSE(cell);
}

TEST(Bitboard, TranslateMovesByColumnsAndRows) {
    EXPECT_EQ(Bitboard::cell(0, 0).translate(19, 19), Bitboard::cell(19, 19));
    EXPECT_EQ(Bitboard::cell(1, 2).translate(3, 4), Bitboard::cell(5, 5));
}

TEST(Bitboard, FatalStopsCarryExactMessages) {
    using support::panic_message;
    EXPECT_EQ(panic_message([] { Bitboard().get(420); }),
              "Bitboard index 420 out of range [0, 419]");
    EXPECT_EQ(panic_message([] { Bitboard::cell(0, 0).translate(20, 0); }),
              "Invalid translation of (0,0) to (20,0)");
    EXPECT_EQ(panic_message([] { Bitboard::cell(0, 0).translate(0, 20); }),
              "Invalid translation of (0,0) to (0,20)");
    EXPECT_FALSE(VALID_CELLS.get(419));
    EXPECT_TRUE(VALID_CELLS.get(418));
}

}  // namespace
}  // namespace game
