#include "game/pieces.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/fatal.hpp"

namespace game {
namespace {

// The shape of a Piece drawn from its Row fields alone, rows joined by '/'.
std::string draw(const Piece& piece) {
    std::string out;
    std::size_t width = BOARD_SIZE - piece.max_col;
    for (const Row& row : piece.rows) {
        std::string squares(BOARD_SIZE, '.');
        for (std::size_t i = 0; i < row.len; ++i) squares[row.start + i] = 'X';
        if (row.gap) squares.insert(*row.gap, 1, '.');
        if (!out.empty()) out += '/';
        out += squares.substr(0, width);
    }
    return out;
}

TEST(Pieces, CatalogueHas91OrientationsGroupedByKind) {
    const Vec<Piece> pieces = generate();
    EXPECT_EQ(pieces.size(), 91u);
    EXPECT_EQ(pieces.capacity(), 91u);

    const std::vector<std::size_t> per_kind = {1, 2, 4, 2, 4, 1, 8, 2, 4, 8, 1,
                                               8, 4, 4, 8, 8, 4, 4, 4, 8, 2};
    const std::vector<std::size_t> first_index = {0,  1,  3,  7,  9,  13, 14, 22, 24, 28, 36,
                                                  37, 45, 49, 53, 61, 69, 73, 77, 81, 89};
    for (std::size_t k = 0; k < NUM_PIECE_TYPES; ++k) {
        const PieceType t = ALL_PIECE_TYPES[k];
        const auto first = std::find_if(pieces.begin(), pieces.end(),
                                        [&](const Piece& p) { return p.piece_type == t; });
        EXPECT_EQ(static_cast<std::size_t>(first - pieces.begin()), first_index[k]) << name(t);
        EXPECT_EQ(
            static_cast<std::size_t>(std::count_if(
                pieces.begin(), pieces.end(), [&](const Piece& p) { return p.piece_type == t; })),
            per_kind[k])
            << name(t);
    }
    EXPECT_TRUE(std::is_sorted(pieces.begin(), pieces.end()));
    for (std::size_t i = 0; i < pieces.size(); ++i)
        EXPECT_EQ(pieces[i].ordinal, i - first_index[position(pieces[i].piece_type)]);
}

TEST(Pieces, CellCountsFollowFromCodes) {
    const std::vector<std::size_t> cells = {1, 2, 3, 3, 4, 4, 4, 4, 4, 5, 5,
                                            5, 5, 5, 5, 5, 5, 5, 5, 5, 5};
    std::size_t total = 0;
    for (std::size_t k = 0; k < NUM_PIECE_TYPES; ++k) {
        EXPECT_EQ(num_cells(ALL_PIECE_TYPES[k]), cells[k]);
        if (k > 0) {
            EXPECT_LT(code(ALL_PIECE_TYPES[k - 1]), code(ALL_PIECE_TYPES[k]));
        }
        total += cells[k];
    }
    EXPECT_EQ(total, 89u);
}

TEST(Pieces, ShapesAreWellFormedAndDistinct) {
    const Vec<Piece> pieces = generate();
    for (const Piece& p : pieces) {
        const std::string shape = draw(p);
        EXPECT_EQ(p.max_row + p.rows.size(), BOARD_SIZE);
        EXPECT_EQ(static_cast<std::size_t>(std::count(shape.begin(), shape.end(), 'X')),
                  num_cells(p.piece_type))
            << shape;
        EXPECT_EQ(shape[0] == 'X' || shape.find('X') < shape.find('/'), true) << shape;
        for (const Piece& q : pieces)
            if (&p != &q && p.piece_type == q.piece_type) {
                EXPECT_NE(shape, draw(q));
            }
    }
    EXPECT_EQ(pieces[0].max_row, 19u);
    EXPECT_EQ(pieces[0].max_col, 19u);
    EXPECT_EQ(pieces[89].max_row, 19u);
    EXPECT_EQ(pieces[89].max_col, 15u);
}

TEST(Pieces, GapRowsOfTheUPiece) {
    const Vec<Piece> pieces = generate();
    EXPECT_EQ(draw(pieces[69]), "X.X/XXX");
    EXPECT_EQ(draw(pieces[70]), "XXX/X.X");
    for (std::size_t i = 0; i < pieces.size(); ++i)
        for (const Row& row : pieces[i].rows)
            EXPECT_EQ(row.gap.has_value(), (i == 69 || i == 70) && row.len == 2) << i;
}

TEST(Pieces, TranslationsCoverEveryFittingPosition) {
    const Vec<Piece> pieces = generate();
    std::size_t total = 0;
    for (const Piece& p : pieces) {
        const Vec<Translation> ts = p.build_translations();
        EXPECT_EQ(ts.size(), (p.max_row + 1) * (p.max_col + 1));
        EXPECT_EQ(ts.capacity(), ts.size());
        for (std::size_t i = 0; i < ts.size(); ++i) {
            if (i > 0) {
                EXPECT_LT(ts[i - 1].position, ts[i].position);
            }
            EXPECT_EQ(ts[i].cells.count(), num_cells(p.piece_type));
            EXPECT_EQ(ts[i].cells & VALID_CELLS, ts[i].cells);
        }
        total += ts.size();
    }
    EXPECT_EQ(total, 30433u);

    const Vec<Translation> mono = pieces[0].build_translations();
    ASSERT_EQ(mono.size(), 400u);
    for (const Translation& t : mono)
        EXPECT_EQ(t.cells, Bitboard::cell(t.position / 20, t.position % 20));

    const Vec<Translation> flat_i = pieces[89].build_translations();
    ASSERT_EQ(flat_i.size(), 320u);
    EXPECT_EQ(flat_i.back().position, 395u);
    Bitboard last;
    for (std::size_t b = 414; b <= 418; ++b) last |= Bitboard::single(b);
    EXPECT_EQ(flat_i.back().cells, last);

    const Vec<Translation> tall_i = pieces[90].build_translations();
    ASSERT_EQ(tall_i.size(), 320u);
    Bitboard first;
    for (std::size_t b : {0, 21, 42, 63, 84}) first |= Bitboard::single(b);
    EXPECT_EQ(tall_i.front().cells, first);

    Bitboard u;
    for (std::size_t b : {0, 2, 21, 22, 23}) u |= Bitboard::single(b);
    EXPECT_EQ(pieces[69].build_translations().front().cells, u);
    EXPECT_EQ(pieces[36].build_translations().size(), 324u);
}

TEST(Pieces, OffsetsPastTheBoardStopWithTheTranslationMessage) {
    Piece tall = generate()[90];
    tall.max_row = 20;  // one row offset too many
    EXPECT_EQ(support::panic_message([&] { (void)tall.build_translations(); }),
              "Invalid translation of (0,0) to (0,20)");
}

}  // namespace
}  // namespace game
