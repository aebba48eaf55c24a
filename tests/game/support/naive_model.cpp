#include "support/naive_model.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <string_view>

namespace naive {

namespace {

// Every orientation in catalogue order, drawn row by row: X filled, dot empty.
constexpr std::array<std::string_view, ORIENTATIONS> DRAWINGS = {
    "X",                                                      // monomino
    "XX",          "X/X",                                     // domino
    "XX/X.",       "X./XX",       ".X/XX",       "XX/.X",     // L tromino
    "XXX",         "X/X/X",                                   // I tromino
    ".X./XXX",     "X./XX/X.",    "XXX/.X.",     ".X/XX/.X",  // T tetromino
    "XX/XX",                                                  // O tetromino
    "X../XXX",     "XXX/X..",     "X./X./XX",    "XX/X./X.",  // L tetromino
    "XX/.X/.X",    "XXX/..X",     "..X/XXX",     ".X/.X/XX",
    "XXXX",        "X/X/X/X",                                    // I tetromino
    "X./XX/.X",    ".X/XX/X.",    ".XX/XX.",     "XX./.XX",      // S tetromino
    ".X./XXX/X..", "X../XXX/.X.", "XX./.XX/.X.", ".XX/XX./.X.",  // F pentomino
    "..X/XXX/.X.", ".X./XX./.XX", ".X./XXX/..X", ".X./.XX/XX.",
    ".X./XXX/.X.",                                            // X pentomino
    "XX/XX/X.",    "XX/XX/.X",    "X./XX/XX",    ".X/XX/XX",  // P pentomino
    "XXX/.XX",     ".XX/XXX",     "XXX/XX.",     "XX./XXX",
    "X../XX./.XX", ".XX/XX./X..", "..X/.XX/XX.", "XX./.XX/..X",  // W pentomino
    "X../XXX/..X", "..X/XXX/X..", ".XX/.X./XX.", "XX./.X./.XX",  // Z pentomino
    "XXXX/.X..",   ".X../XXXX",   "XXXX/..X.",   "..X./XXXX",    // Y pentomino
    "X./X./XX/X.", ".X/.X/XX/.X", "X./XX/X./X.", ".X/XX/.X/.X",
    "XXXX/X...",   "X.../XXXX",   "XXXX/...X",   "...X/XXXX",  // L pentomino
    "X./X./X./XX", ".X/.X/.X/XX", "XX/X./X./X.", "XX/.X/.X/.X",
    "X.X/XXX",     "XXX/X.X",     "XX/X./XX",    "XX/.X/XX",     // U pentomino
    ".X./.X./XXX", "X../XXX/X..", "XXX/.X./.X.", "..X/XXX/..X",  // T pentomino
    "XXX/X../X..", "X../X../XXX", "..X/..X/XXX", "XXX/..X/..X",  // V pentomino
    ".XXX/XX..",   "XX../.XXX",   "XXX./..XX",   "..XX/XXX.",    // N pentomino
    "X./X./XX/.X", ".X/.X/XX/X.", ".X/XX/X./X.", "X./XX/.X/.X",
    "XXXXX",       "X/X/X/X/X",  // I pentomino
};

// The orientation index at which each kind's orientations begin, kinds in catalogue order.
constexpr std::array<int, KINDS + 1> FIRST_ORIENTATION = {
    0, 1, 3, 7, 9, 13, 14, 22, 24, 28, 36, 37, 45, 49, 53, 61, 69, 73, 77, 81, 89, 91};

std::vector<Shape> parse_shapes() {
    std::vector<Shape> shapes;
    for (int o = 0; o < ORIENTATIONS; ++o) {
        Shape shape;
        while (FIRST_ORIENTATION[shape.kind + 1] <= o) ++shape.kind;
        int r = 0, c = 0;
        for (char ch : DRAWINGS[o]) {
            if (ch == '/') {
                ++r;
                c = 0;
                continue;
            }
            if (ch == 'X') shape.cells.push_back({r, c});
            ++c;
            shape.width = std::max(shape.width, c);
        }
        shape.height = r + 1;
        shapes.push_back(shape);
    }
    return shapes;
}

bool inside(int r, int c) { return r >= 0 && r < N && c >= 0 && c < N; }

int owner_at(const Owners& owners, int r, int c) { return inside(r, c) ? owners[r][c] : EMPTY; }

}  // namespace

const std::vector<Shape>& shapes() {
    static const std::vector<Shape> parsed = parse_shapes();
    return parsed;
}

int kind_cells(int kind) {
    return static_cast<int>(shapes()[FIRST_ORIENTATION[kind]].cells.size());
}

Cell to_board(int seat, Cell own) {
    // A quarter turn clockwise takes (r, c) to (c, 19 - r).
    for (int k = 0; k < seat; ++k) own = {own.c, N - 1 - own.r};
    return own;
}

Cell to_own(int seat, Cell board) { return to_board((SEATS - seat) % SEATS, board); }

std::vector<Cell> cells_of(std::size_t grid_index) {
    const Shape& shape = shapes()[grid_index / (N * N)];
    const int row = static_cast<int>(grid_index % (N * N)) / N;
    const int col = static_cast<int>(grid_index % N);
    std::vector<Cell> cells;
    for (const Cell& cell : shape.cells) cells.push_back({row + cell.r, col + cell.c});
    return cells;
}

std::string describe(std::size_t g) {
    std::ostringstream out;
    out << g << " (orientation " << g / 400 << ", row " << g % 400 / 20 << ", col " << g % 20
        << ")";
    return out.str();
}

Owners no_owners() {
    Owners owners;
    for (auto& row : owners) row.fill(EMPTY);
    return owners;
}

std::string board_text(const Owners& owners) {
    // Indexed by owner + 1.
    const std::array<std::string, SEATS + 1> cell_text = {
        "|  . ", "|  \x1b[44mx\x1b[0m ", "|  \x1b[43mx\x1b[0m ", "|  \x1b[41mx\x1b[0m ",
        "|  \x1b[42mx\x1b[0m "};
    std::ostringstream text;
    text << "  | ";
    for (int c = 0; c < N; ++c) text << (c == 0 ? "" : " | ") << std::setw(2) << c;
    text << " |";
    for (int r = 0; r < N; ++r) {
        text << '\n' << std::string(103, '-') << '\n' << std::setw(2) << r;
        for (const int owner : owners[r]) text << cell_text[owner + 1];
        text << '|';
    }
    return text.str();
}

int corner_cells(const Owners& owners, int seat, const std::vector<Cell>* among) {
    int count = 0;
    for (int r = 0; r < N; ++r)
        for (int c = 0; c < N; ++c) {
            if (owners[r][c] != EMPTY) continue;
            bool beside = false, corner = false;
            for (const int d : {-1, 1}) {
                beside = beside || owner_at(owners, r + d, c) == seat ||
                         owner_at(owners, r, c + d) == seat;
                corner = corner || owner_at(owners, r + d, c - 1) == seat ||
                         owner_at(owners, r + d, c + 1) == seat;
            }
            const bool listed =
                among == nullptr || std::count(among->begin(), among->end(), Cell{r, c}) > 0;
            count += !beside && corner && listed ? 1 : 0;
        }
    return count;
}

Model::Model() = default;

std::vector<std::uint8_t> Model::legal(int seat) const {
    std::vector<std::uint8_t> mask(GRID_SIZE, 0);
    if (done_[seat]) return mask;
    // The board in the seat's own frame: its own cells, and every seat's.
    bool mine[N][N], taken[N][N];
    for (int r = 0; r < N; ++r) {
        for (int c = 0; c < N; ++c) {
            const Cell b = to_board(seat, {r, c});
            taken[r][c] = owner_[b.r][b.c] != EMPTY;
            mine[r][c] = owner_[b.r][b.c] == seat;
        }
    }
    const auto mine_at = [&](int r, int c) { return inside(r, c) && mine[r][c]; };
    bool blocked[N][N], corner[N][N];
    for (int r = 0; r < N; ++r) {
        for (int c = 0; c < N; ++c) {
            blocked[r][c] = taken[r][c] || mine_at(r - 1, c) || mine_at(r + 1, c) ||
                            mine_at(r, c - 1) || mine_at(r, c + 1);
            corner[r][c] = mine_at(r - 1, c - 1) || mine_at(r - 1, c + 1) ||
                           mine_at(r + 1, c - 1) || mine_at(r + 1, c + 1);
        }
    }
    for (int o = 0; o < ORIENTATIONS; ++o) {
        const Shape& shape = shapes()[o];
        if (used_[seat][shape.kind]) continue;
        for (int row = 0; row + shape.height <= N; ++row) {
            for (int col = 0; col + shape.width <= N; ++col) {
                bool ok = true, touches = false, covers_start = false;
                for (const Cell& cell : shape.cells) {
                    const int r = row + cell.r, c = col + cell.c;
                    ok = ok && !blocked[r][c];
                    touches = touches || corner[r][c];
                    covers_start = covers_start || (r == 0 && c == 0);
                }
                const bool is_legal = placed_[seat] == 0 ? covers_start : ok && touches;
                mask[o * 400 + row * N + col] = is_legal ? 1 : 0;
            }
        }
    }
    return mask;
}

std::vector<std::uint8_t> Model::observe(int seat) {
    std::vector<std::uint8_t> mask = legal(seat);
    if (placed_[seat] != 0 && std::count(mask.begin(), mask.end(), 1) == 0) done_[seat] = true;
    stale_[seat] = false;
    return mask;
}

std::vector<std::uint8_t> Model::planes(int observer) const {
    std::vector<std::uint8_t> bytes(SEATS * N * N, 0);
    for (int k = 0; k < SEATS; ++k)
        for (int r = 0; r < N; ++r)
            for (int c = 0; c < N; ++c) {
                const Cell b = to_board(observer, {r, c});
                bytes[(k * N + r) * N + c] = owner_[b.r][b.c] == (observer + k) % SEATS;
            }
    return bytes;
}

void Model::place(int seat, std::size_t g) {
    ASSERT_LT(g, GRID_SIZE);
    ASSERT_EQ(legal(seat)[g], 1) << "seat " << seat << " played grid index " << describe(g);
    for (const Cell& cell : cells_of(g)) {
        const Cell b = to_board(seat, cell);
        owner_[b.r][b.c] = seat;
    }
    const int kind = shapes()[g / 400].kind;
    used_[seat][kind] = true;
    last_kind_[seat] = kind;
    ++placed_[seat];
    stale_.fill(true);
}

int Model::next_to_move(int seat) {
    for (int k = 1;; ++k) {
        const int next = (seat + k) % SEATS;
        if (!done_[next]) {
            observe(next);
            if (!done_[next]) return next;
        }
        if (all_done()) return next;
    }
}

int Model::score(int seat) const {
    int left = 0;
    for (int kind = 0; kind < KINDS; ++kind)
        if (!used_[seat][kind]) left += kind_cells(kind);
    if (left != 0) return -left;
    return last_kind_[seat] == 0 ? 20 : 15;
}

}  // namespace naive
