#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <string>

#include "game.hpp"
#include "support/drivers.hpp"
#include "support/naive_model.hpp"

namespace game {
namespace {

using namespace support;
using naive::board_text;
using naive::no_owners;
using naive::Owners;

TEST(Render, EmptyBoardMatchesTheLayoutExactly) {
    const Game game;
    const std::string text = game.text();
    EXPECT_EQ(text, board_text(no_owners()));

    EXPECT_EQ(text.size(), 4263u);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 40);
    EXPECT_NE(text.back(), '\n');
    std::istringstream lines(text);
    std::string line;
    int n = 0;
    while (std::getline(lines, line)) {
        EXPECT_EQ(line.size(), 103u) << "line " << n;
        ++n;
    }
    EXPECT_EQ(n, 41);
    // The first lines, as they look on screen.
    EXPECT_EQ(text.substr(0, 104),
              "  |  0 |  1 |  2 |  3 |  4 |  5 |  6 |  7 |  8 |  9 | 10 | 11 | 12 | 13 | 14 | 15 "
              "| 16 | 17 | 18 | 19 |\n");
    EXPECT_EQ(text.substr(208, 104),
              " 0|  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . "
              "|  . |  . |  . |  . |\n");
    EXPECT_EQ(text.substr(text.size() - 103),
              "19|  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . |  . "
              "|  . |  . |  . |  . |");
}

TEST(Render, StartCornersInSeatColoursWhoeverIsToMove) {
    // Seen from seat 0, the seats' start corners run clockwise from the top left.
    const int corner_rows[4] = {0, 0, 19, 19}, corner_cols[4] = {0, 19, 19, 0};
    Game game;
    Owners owners = no_owners();
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
        owners[corner_rows[seat]][corner_cols[seat]] = static_cast<int>(seat);
        const std::string expected = board_text(owners);
        EXPECT_EQ(game.text(), expected) << "after seat " << seat;
        EXPECT_EQ(expected.size(), 4263u + 9 * (seat + 1));
    }
    const std::string all_four = game.text();
    for (std::size_t to_move = 0; to_move < NUM_AGENTS; ++to_move) {
        game.agent_selection = to_move;
        EXPECT_EQ(game.text(), all_four) << "seat " << to_move << " to move";
    }
}

TEST(Render, SharedCellTakesTheLowestSeatsColour) {
    Game game;
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
    ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));  // seat 2's corner: (19, 19) for seat 0
    force(game, 0, grid(MONOMINO, 19, 19));
    // (5, 7) for seat 0 is (12, 5) in seat 1's frame and (7, 14) in seat 3's.
    force(game, 1, grid(MONOMINO, 12, 5));
    force(game, 3, grid(MONOMINO, 7, 14));
    // (10, 3) for seat 0 is (9, 16) in seat 2's frame and (3, 9) in seat 3's.
    force(game, 2, grid(MONOMINO, 9, 16));
    force(game, 3, grid(MONOMINO, 3, 9));

    Owners owners = no_owners();
    owners[0][0] = 0;
    owners[0][19] = 1;
    owners[19][19] = 0;
    owners[5][7] = 1;
    owners[10][3] = 2;
    EXPECT_EQ(game.text(), board_text(owners));
}

}  // namespace
}  // namespace game
