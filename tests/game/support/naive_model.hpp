// A deliberately naive model of the rules, shared by the engine's suites: one 20 x 20 array of
// owners in a single frame (seat 0's), shapes parsed from their drawings, and legality decided cell
// by cell. Nothing here reads the engine's catalogue, action set or bitboard tricks: the engine is
// checked against it, never the other way round.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace naive {

constexpr int N = 20;
constexpr int SEATS = 4;
constexpr int KINDS = 21;
constexpr int ORIENTATIONS = 91;
constexpr std::size_t GRID_SIZE = ORIENTATIONS * N * N;

struct Cell {
    int r = 0, c = 0;
    bool operator==(const Cell&) const = default;
};

// One orientation: its kind (0 to 20, in catalogue order), bounding box and filled cells.
struct Shape {
    int kind = 0;
    int height = 0, width = 0;
    std::vector<Cell> cells;
};

// Every orientation in catalogue order.
const std::vector<Shape>& shapes();
int kind_cells(int kind);

// Seat s keeps its own frame with its start corner at (0, 0); seat 0 sees seat s turned s quarter
// turns clockwise. to_board maps a cell of seat s's frame to seat 0's, to_own back.
Cell to_board(int seat, Cell own);
Cell to_own(int seat, Cell board);

// The cells a placement covers in the placing seat's own frame.
std::vector<Cell> cells_of(std::size_t grid_index);

// "g (orientation o, row r, col c)", for messages.
std::string describe(std::size_t grid_index);

// Which seat holds each cell of seat 0's frame, or EMPTY.
constexpr int EMPTY = -1;
using Owners = std::array<std::array<int, N>, N>;
Owners no_owners();

// The text form of a board from its rules: a header of column numbers, then each board row between
// lines of 103 dashes; five visible characters per cell, an "x" on the seat's ANSI background
// colour for an occupied one; no newline after the last row.
std::string board_text(const Owners& owners);

// Cells where `seat` could put a cell of its next piece at a corner of its own: empty, not beside
// one of its cells, diagonal to one. With `among`, only those among the listed cells count.
int corner_cells(const Owners& owners, int seat, const std::vector<Cell>* among = nullptr);

class Model {
public:
    Model();

    // Seat `seat`'s legal grid indices, one byte each, by the rules cell by cell.
    std::vector<std::uint8_t> legal(int seat) const;

    // What an observation of `seat` decides: the seat is done once it has nothing legal.
    std::vector<std::uint8_t> observe(int seat);

    // Seat `observer`'s planes: plane k at (r, c) is 1 when seat observer + k holds that cell.
    std::vector<std::uint8_t> planes(int observer) const;

    // Places grid index g for `seat`; fails the test if the rules do not allow it.
    void place(int seat, std::size_t g);

    // The seat to move after `seat` has placed, when every seat is observed as its turn comes: the
    // first that can move, passing those found done; once all are done, the seat found done last.
    int next_to_move(int seat);

    // The score of a done seat, from the cells it still holds.
    int score(int seat) const;

    const Owners& owners() const { return owner_; }
    int owner(int r, int c) const { return owner_[r][c]; }
    bool used(int seat, int kind) const { return used_[seat][kind]; }
    int placed(int seat) const { return placed_[seat]; }
    int last_kind(int seat) const { return last_kind_[seat]; }
    bool done(int seat) const { return done_[seat]; }
    bool stale(int seat) const { return stale_[seat]; }
    bool all_done() const { return done_[0] && done_[1] && done_[2] && done_[3]; }

private:
    Owners owner_ = no_owners();
    std::array<std::array<bool, KINDS>, SEATS> used_{};
    std::array<int, SEATS> placed_{};
    std::array<int, SEATS> last_kind_{-1, -1, -1, -1};
    std::array<bool, SEATS> done_{};
    std::array<bool, SEATS> stale_{};
};

}  // namespace naive
