#include "game/grid_set.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "game.hpp"

namespace game {
namespace {

// A random set of board cells, about one in `one_in` of them.
GridSet random_cells(std::mt19937_64& rng, unsigned one_in) {
    GridSet s;
    for (std::size_t p = 0; p < GridSet::POSITIONS; ++p)
        if (rng() % one_in == 0) s.set(p);
    return s;
}

// The cells of a board in grid order.
HighFirst high_first(const Bitboard& board) {
    GridSet s;
    for (std::size_t p = 0; p < GridSet::POSITIONS; ++p)
        if (board.test(cell_index(p / BOARD_SIZE, p % BOARD_SIZE))) s.set(p);
    return HighFirst::of(s);
}

TEST(GridSet, PositionsSitInPackbitsOrder) {
    // Position p is bit 7 - p % 8 of byte p / 8, whatever the machine's word order.
    for (const std::size_t p : {0u, 1u, 7u, 8u, 63u, 64u, 219u, 399u}) {
        GridSet s;
        s.set(p);
        for (std::size_t byte = 0; byte < sizeof s.words; ++byte)
            EXPECT_EQ(s.bytes()[byte], byte == p / 8 ? 0x80u >> (p % 8) : 0u) << p;
        EXPECT_TRUE(s.test(p));
        EXPECT_EQ(s.count(), 1u);
    }
}

// Checks HighFirst's moves by N against position arithmetic on s.
template <std::size_t N>
void expect_moves_by(const GridSet& s) {
    GridSet start, end;
    for (std::size_t p = 0; p < 512; ++p) {
        if (p + N < 512 && s.test(p + N)) start.set(p);
        if (p >= N && s.test(p - N)) end.set(p);
    }
    const HighFirst h = HighFirst::of(s);
    EXPECT_EQ(h.toward_start<N>(), HighFirst::of(start)) << N;
    EXPECT_EQ(h.toward_end<N>(), HighFirst::of(end)) << N;
}

TEST(GridSet, MovesMatchPositionArithmetic) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 20; ++trial) {
        GridSet s = random_cells(rng, 3);
        s.set(0);
        s.set(63);
        s.set(64);
        s.set(511);  // not a cell, but a move must still carry it correctly
        expect_moves_by<1>(s);
        expect_moves_by<7>(s);
        expect_moves_by<8>(s);
        expect_moves_by<20>(s);
        expect_moves_by<63>(s);
    }
}

TEST(GridSet, MovesAgreeAtCompileTimeAndAtRunTime) {
    // A move is worked out word by word in a constant expression and in registers otherwise.
    constexpr HighFirst cells = NOT_FIRST_COLUMN_HIGH;
    constexpr HighFirst start_1 = cells.toward_start<1>();
    constexpr HighFirst start_63 = cells.toward_start<63>();
    constexpr HighFirst end_20 = cells.toward_end<20>();
    constexpr HighFirst end_63 = cells.toward_end<63>();
    const HighFirst at_run_time = cells;
    EXPECT_EQ(at_run_time.toward_start<1>(), start_1);
    EXPECT_EQ(at_run_time.toward_start<63>(), start_63);
    EXPECT_EQ(at_run_time.toward_end<20>(), end_20);
    EXPECT_EQ(at_run_time.toward_end<63>(), end_63);
    GridSet not_first_column;
    for (std::size_t p = 0; p < GridSet::POSITIONS; ++p)
        if (p % BOARD_SIZE != 0) not_first_column.set(p);
    EXPECT_EQ(HighFirst::of(not_first_column), cells);
    expect_moves_by<20>(not_first_column);
}

TEST(GridSet, PlacementCellsAgreeWithTheGuardedBoard) {
    // The guarded board cannot wrap a row; grid order has to drop what wraps with column masks.
    std::mt19937_64 rng(5);
    for (int trial = 0; trial < 100; ++trial) {
        GridSet own = random_cells(rng, 12), others = random_cells(rng, 6);
        own.set(19);  // row ends and starts, where a wrap would show
        own.set(20);
        own.set(399);
        others = others.minus(own);
        Bitboard own_board, other_board;
        own.for_each([&](std::size_t p) { own_board |= Bitboard::cell(p / 20, p % 20); });
        others.for_each([&](std::size_t p) { other_board |= Bitboard::cell(p / 20, p % 20); });
        const PlacementCells cells = placement_cells(own, others);
        const Bitboard open = open_cells(own_board, other_board);
        ASSERT_EQ(cells.open, high_first(open));
        ASSERT_EQ(cells.corners, high_first(corner_cells(own_board, open)));
    }
}

TEST(ShapeTree, EveryOrientationEndsOnceOnThePathOfItsCells) {
    const ActionSet& set = ACTION_SET();
    const Vec<ShapeNode>& tree = set.shape_tree;
    EXPECT_EQ(tree.size(), 125u);
    std::vector<int> ends(NUM_ORIENTATIONS, 0);
    // The path to a node is the last node seen at each smaller depth.
    std::vector<std::uint16_t> path;
    for (std::size_t i = 0; i < tree.size(); ++i) {
        const ShapeNode& node = tree[i];
        ASSERT_LE(node.depth, path.size());
        path.resize(node.depth);
        path.push_back(node.start);
        ASSERT_GT(node.next, i);
        for (std::size_t j = i + 1; j < node.next; ++j) ASSERT_GT(tree[j].depth, node.depth);
        if (node.orientation == ShapeNode::NO_ORIENTATION) continue;
        ++ends[node.orientation];
        const OrientationShape& shape = set.shapes[node.orientation];
        ASSERT_EQ(path, std::vector<std::uint16_t>(shape.starts.begin(),
                                                   shape.starts.begin() + shape.num_cells));
        EXPECT_EQ(node.width, shape.width);
        // The piece is counted on every node of its path.
        for (std::size_t j = 0; j <= i; ++j) {
            if (tree[j].next > i) {
                EXPECT_NE(tree[j].pieces & node.piece, 0u) << j;
            }
        }
    }
    EXPECT_EQ(ends, std::vector<int>(NUM_ORIENTATIONS, 1));
}

}  // namespace
}  // namespace game
