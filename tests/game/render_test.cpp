#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <sstream>
#include <string>

#include "game.hpp"

namespace game {
namespace {

constexpr std::size_t MONOMINO = 0;
constexpr int EMPTY = -1;

constexpr std::size_t grid(std::size_t orientation, std::size_t row, std::size_t col) {
    return orientation * 400 + row * 20 + col;
}

// Which seat's colour each cell of the board (in seat 0's frame) shows, or EMPTY.
using Owners = std::array<std::array<int, 20>, 20>;

Owners no_owners() {
    Owners owners;
    for (auto& row : owners) row.fill(EMPTY);
    return owners;
}

std::string two_wide(int n) {
    char field[8];
    std::snprintf(field, sizeof field, "%2d", n);
    return field;
}

// The text form, from its rules: a header of column numbers, then each board row between lines
// of 103 dashes; five visible characters per cell, an "x" on the seat's ANSI background colour
// for an occupied one; no newline after the last row.
std::string expected_text(const Owners& owners) {
    const char* const colours[4] = {"\x1b[44m", "\x1b[43m", "\x1b[41m", "\x1b[42m"};
    const std::string separator(103, '-');
    std::string text = "  | ";
    for (int c = 0; c < 20; ++c) {
        if (c != 0) text += " | ";
        text += two_wide(c);
    }
    text += " |";

    text += '\n';
    text += separator;
    for (int r = 0; r < 20; ++r) {
        if (r != 0) {
            text += '\n';
            text += separator;
        }
        text += '\n';
        text += two_wide(r);
        for (int c = 0; c < 20; ++c) {
            const int seat = owners[r][c];
            if (seat == EMPTY) {
                text += "|  . ";
            } else {
                text += "|  ";
                text += colours[seat];
                text += "x\x1b[0m ";
            }
        }
        text += '|';
    }
    return text;
}

// Places grid index g for `seat` whatever its mask says, by granting that one action first: a
// legal game never lets two seats share a cell.
void force(Game& game, std::size_t seat, std::size_t g) {
    game.agent_selection = seat;
    game.agents[seat].mask_stale = false;
    game.agents[seat].action_mask.set(*ACTION_SET().grid[g], true);
    ASSERT_FALSE(game.step(g)) << "seat " << seat << ", grid index " << g;
}

TEST(Render, EmptyBoardMatchesTheLayoutExactly) {
    const Game game;
    const std::string text = game.text();
    EXPECT_EQ(text, expected_text(no_owners()));

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

    std::ostringstream out;
    out << game;
    EXPECT_EQ(out.str(), text);
}

TEST(Render, StartCornersInSeatColoursWhoeverIsToMove) {
    // Seen from seat 0, the seats' start corners run clockwise from the top left.
    const int corner_rows[4] = {0, 0, 19, 19}, corner_cols[4] = {0, 19, 19, 0};
    Game game;
    Owners owners = no_owners();
    for (std::size_t seat = 0; seat < NUM_AGENTS; ++seat) {
        ASSERT_FALSE(game.step(grid(MONOMINO, 0, 0)));
        owners[corner_rows[seat]][corner_cols[seat]] = static_cast<int>(seat);
        const std::string expected = expected_text(owners);
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
    EXPECT_EQ(game.text(), expected_text(owners));
}

}  // namespace
}  // namespace game
