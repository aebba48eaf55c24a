// tavlok._core's board, piece catalogue and frames: the board's size and its text, the engine's
// kinds and orientations as the package reads them, grid indices turned into placements and back,
// and placements seen from another seat. Every answer comes from the engine's own tables
// (generate, ACTION_SET) and its own turn of a board (SeatPosition::place keeps each seat's cells
// in all four frames), so the package holds no copy of either.
#include <nanobind/stl/pair.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "core.hpp"
#include "game/actions.hpp"
#include "game/agents.hpp"
#include "game/errors.hpp"
#include "game/pieces.hpp"
#include "game/rules.hpp"

namespace core {

namespace {

using game::ACTION_SET;
using game::BOARD_SIZE;
using game::CELLS_PER_ORIENTATION;

using Cell = std::pair<std::size_t, std::size_t>;
using Orientation = std::tuple<std::string, std::size_t, std::vector<Cell>>;

// The orientations in index order, as the engine builds them.
const game::Vec<game::Piece>& orientations() {
    static const game::Vec<game::Piece> pieces = game::generate();
    return pieces;
}

std::size_t height(const game::Piece& piece) { return BOARD_SIZE - piece.max_row; }
std::size_t width(const game::Piece& piece) { return BOARD_SIZE - piece.max_col; }

// The cells of orientation o with the top-left corner of its bounding box at (0, 0).
std::vector<Cell> cells_of(std::size_t o) {
    const game::OrientationShape& shape = ACTION_SET().shapes[o];
    std::vector<Cell> cells;
    for (std::size_t j = 0; j < shape.num_cells; ++j)
        cells.emplace_back(shape.distances[j] / BOARD_SIZE, shape.distances[j] % BOARD_SIZE);
    return cells;
}

std::vector<Orientation> catalogue() {
    std::vector<Orientation> table;
    for (std::size_t o = 0; o < orientations().size(); ++o)
        table.emplace_back(game::name(orientations()[o].piece_type), orientations()[o].ordinal,
                           cells_of(o));
    return table;
}

std::vector<std::string> kinds() {
    std::vector<std::string> names;
    for (const game::PieceType t : game::ALL_PIECE_TYPES) names.emplace_back(game::name(t));
    return names;
}

// Quarter turns given as any whole number, taken modulo a whole turn as Python takes it (-1 is 3).
std::size_t quarter_turns(IndexArgument turns) {
    nb::object index = nb::steal(PyNumber_Index(turns.value.ptr()));
    if (!index.is_valid()) throw nb::python_error();
    return nb::cast<std::size_t>(index.attr("__mod__")(4));
}

// The grid index `argument` when it names a placement; ValueError saying why it names none.
std::size_t placement(IndexArgument argument) {
    const std::size_t g = index_below(argument, "grid index", game::NUM_GRID_INDICES);
    if (ACTION_SET().grid[g]) return g;
    const std::size_t o = g / CELLS_PER_ORIENTATION, square = g % CELLS_PER_ORIENTATION;
    const game::Piece& piece = orientations()[o];
    raise_value_error("grid index %zu names no placement: %s %zu (%zux%zu) does not fit at row "
                      "%zu, col %zu",
                      g, game::name(piece.piece_type), piece.ordinal, height(piece), width(piece),
                      square / BOARD_SIZE, square % BOARD_SIZE);
}

// The grid index of the placement of `piece` whose cells are exactly `cells`, which one of its
// orientations covers somewhere on the board.
std::size_t placement_of(const game::Bitboard& cells, game::PieceType piece) {
    std::size_t top = BOARD_SIZE, left = BOARD_SIZE;
    for (std::size_t r = 0; r < BOARD_SIZE; ++r)
        for (std::size_t c = 0; c < BOARD_SIZE; ++c)
            if (cells.test(game::cell_index(r, c))) {
                top = std::min(top, r);
                left = std::min(left, c);
            }
    const game::ActionSet& set = ACTION_SET();
    const game::IndexRange range = set.orientations_of(piece);
    for (std::size_t o = range.start; o < range.end && top < BOARD_SIZE; ++o) {
        const std::size_t g = o * CELLS_PER_ORIENTATION + top * BOARD_SIZE + left;
        if (set.grid[g] && set.actions[*set.grid[g]].cells == cells) return g;
    }
    game::fatal(std::string("no orientation of ") + game::name(piece) + " covers the cells given");
}

// The placement at grid index g (one that fits) after the board is turned clockwise `turns`
// quarter turns: the mover's placement as the seat `turns` places before it sees it.
std::size_t turned_placement(std::size_t g, std::size_t turns) {
    game::SeatPosition seat;
    seat.place(ACTION_SET(), g);
    const game::Action& action = ACTION_SET().actions[*ACTION_SET().grid[g]];
    return placement_of(seat.board_turned(turns), action.piece_type);
}

std::tuple<std::size_t, std::size_t, std::size_t> decode(IndexArgument grid_index) {
    const std::size_t g = placement(grid_index);
    const std::size_t square = g % CELLS_PER_ORIENTATION;
    return {g / CELLS_PER_ORIENTATION, square / BOARD_SIZE, square % BOARD_SIZE};
}

std::size_t encode(IndexArgument orientation, IndexArgument row, IndexArgument col) {
    const std::size_t o = index_below(orientation, "orientation", game::NUM_ORIENTATIONS);
    const game::Piece& piece = orientations()[o];
    nb::object shown_row, shown_col;
    const auto r = index_value(row, 0, piece.max_row, shown_row);
    const auto c = index_value(col, 0, piece.max_col, shown_col);
    if (r && c) return o * CELLS_PER_ORIENTATION + *r * BOARD_SIZE + *c;
    const nb::str rows = r ? nb::str(nb::int_(*r)) : nb::str(shown_row);
    const nb::str cols = c ? nb::str(nb::int_(*c)) : nb::str(shown_col);
    raise_value_error("%s %zu (%zux%zu) does not fit with its top-left corner at row %U, col %U; "
                      "rows go up to %zu and columns up to %zu",
                      game::name(piece.piece_type), piece.ordinal, height(piece), width(piece),
                      rows.ptr(), cols.ptr(), piece.max_row, piece.max_col);
}

std::size_t turned(IndexArgument grid_index, IndexArgument turns) {
    return turned_placement(placement(grid_index), quarter_turns(turns));
}

// A cell is the placement of the monomino that covers it.
Cell turn_cell(IndexArgument row, IndexArgument col, IndexArgument turns) {
    const std::size_t r = index_below(row, "row", BOARD_SIZE);
    const std::size_t c = index_below(col, "col", BOARD_SIZE);
    const std::size_t g = turned_placement(r * BOARD_SIZE + c, quarter_turns(turns));
    return {g / BOARD_SIZE, g % BOARD_SIZE};
}

std::size_t turn_orientation(IndexArgument orientation, bool flip) {
    const std::size_t o = index_below(orientation, "orientation", game::NUM_ORIENTATIONS);
    if (!flip) return turned_placement(o * CELLS_PER_ORIENTATION, 1) / CELLS_PER_ORIENTATION;
    const game::Piece& piece = orientations()[o];
    game::Bitboard mirrored;
    for (const auto& [r, c] : cells_of(o))
        mirrored |= game::Bitboard::cell(r, width(piece) - 1 - c);
    return placement_of(mirrored, piece.piece_type) / CELLS_PER_ORIENTATION;
}

using OwnersArgument = nb::ndarray<const std::int8_t, nb::shape<BOARD_SIZE, BOARD_SIZE>,
                                   nb::c_contig, nb::device::cpu>;

std::string board_text(const OwnersArgument& owners, bool colour) {
    game::Owners cells;
    std::copy_n(owners.data(), cells.size(), cells.begin());
    for (const std::int8_t seat : cells)
        if (seat < -1 || seat >= static_cast<std::int8_t>(game::NUM_AGENTS))
            raise_value_error("board cells hold a seat 0 to 3, or -1 for an empty cell");
    return game::board_text(cells, colour);
}

}  // namespace

void bind_catalogue(nb::module_& module) {
    using namespace nb::literals;
    module.attr("BOARD_SIZE") = BOARD_SIZE;
    module.attr("CELLS_PER_BOARD") = CELLS_PER_ORIENTATION;
    module.attr("NUM_SEATS") = game::NUM_AGENTS;
    module.attr("SEAT_BACKGROUNDS") = names_tuple(game::SEAT_BACKGROUNDS);
    module.def("board_text", board_text, "owners"_a.noconvert(), "colour"_a = true,
               "A board as the engine writes it, 41 lines of 103 columns: `owners`, int8 of\n"
               "shape (20, 20) taken as it is, the seat covering each cell or -1; each covered\n"
               "cell an 'x' on the seat's background colour (SEAT_BACKGROUNDS), or without\n"
               "`colour` its number.");
    module.def("piece_kinds", kinds,
               "The 21 piece kinds' names in catalogue order: the order of a hand's columns.");
    module.def("orientations", catalogue,
               "The 91 orientations in index order, each as (kind, ordinal within the kind,\n"
               "cells): cells as (row, col) offsets from the top-left corner of its bounding box.");
    module.def("decode", decode, "grid_index"_a,
               "(orientation, row, col) of the placement a grid index names; ValueError for an\n"
               "index outside the grid or one whose orientation does not fit there.");
    module.def("encode", encode, "orientation"_a, "row"_a, "col"_a,
               "The grid index of an orientation with the top-left corner of its bounding box\n"
               "at (row, col), orientation * 400 + row * 20 + col; ValueError when it does not\n"
               "fit on the board.");
    module.def("turned", turned, "grid_index"_a, "quarter_turns"_a,
               "The grid index of the same cells after the board is turned clockwise\n"
               "`quarter_turns` times (any whole number, taken modulo 4): seat k's placement in\n"
               "its own frame is turned(index, k - viewer) in seat viewer's.");
    module.def("turn_cell", turn_cell, "row"_a, "col"_a, "quarter_turns"_a,
               "Where cell (row, col) lands after the board is turned clockwise\n"
               "`quarter_turns` times (any whole number, taken modulo 4).");
    module.def("turn_orientation", turn_orientation, "orientation"_a, "flip"_a = false,
               "The orientation of the same piece turned a quarter clockwise, or mirrored left\n"
               "to right when `flip` is set.");
}

}  // namespace core
