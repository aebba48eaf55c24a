#include "game/pieces.hpp"

#include <algorithm>
#include <string>
#include <string_view>

#include "game/errors.hpp"

namespace game {

namespace {

struct Orientation {
    PieceType piece_type;
    // Rows top to bottom, all as wide, separated by '/'; 'X' is a filled square, '.' an empty one.
    std::string_view rows;
};

// Every orientation of every kind, in orientation index order.
constexpr std::array<Orientation, NUM_ORIENTATIONS> ORIENTATIONS = {{
    {PieceType::Monomino, "X"},              // 0
    {PieceType::Domino, "XX"},               // 1
    {PieceType::Domino, "X/X"},              // 2
    {PieceType::TrominoL, "XX/X."},          // 3
    {PieceType::TrominoL, "X./XX"},          // 4
    {PieceType::TrominoL, ".X/XX"},          // 5
    {PieceType::TrominoL, "XX/.X"},          // 6
    {PieceType::TrominoI, "XXX"},            // 7
    {PieceType::TrominoI, "X/X/X"},          // 8
    {PieceType::TetrominoT, ".X./XXX"},      // 9
    {PieceType::TetrominoT, "X./XX/X."},     // 10
    {PieceType::TetrominoT, "XXX/.X."},      // 11
    {PieceType::TetrominoT, ".X/XX/.X"},     // 12
    {PieceType::TetrominoO, "XX/XX"},        // 13
    {PieceType::TetrominoL, "X../XXX"},      // 14
    {PieceType::TetrominoL, "XXX/X.."},      // 15
    {PieceType::TetrominoL, "X./X./XX"},     // 16
    {PieceType::TetrominoL, "XX/X./X."},     // 17
    {PieceType::TetrominoL, "XX/.X/.X"},     // 18
    {PieceType::TetrominoL, "XXX/..X"},      // 19
    {PieceType::TetrominoL, "..X/XXX"},      // 20
    {PieceType::TetrominoL, ".X/.X/XX"},     // 21
    {PieceType::TetrominoI, "XXXX"},         // 22
    {PieceType::TetrominoI, "X/X/X/X"},      // 23
    {PieceType::TetrominoS, "X./XX/.X"},     // 24
    {PieceType::TetrominoS, ".X/XX/X."},     // 25
    {PieceType::TetrominoS, ".XX/XX."},      // 26
    {PieceType::TetrominoS, "XX./.XX"},      // 27
    {PieceType::PentominoF, ".X./XXX/X.."},  // 28
    {PieceType::PentominoF, "X../XXX/.X."},  // 29
    {PieceType::PentominoF, "XX./.XX/.X."},  // 30
    {PieceType::PentominoF, ".XX/XX./.X."},  // 31
    {PieceType::PentominoF, "..X/XXX/.X."},  // 32
    {PieceType::PentominoF, ".X./XX./.XX"},  // 33
    {PieceType::PentominoF, ".X./XXX/..X"},  // 34
    {PieceType::PentominoF, ".X./.XX/XX."},  // 35
    {PieceType::PentominoX, ".X./XXX/.X."},  // 36
    {PieceType::PentominoP, "XX/XX/X."},     // 37
    {PieceType::PentominoP, "XX/XX/.X"},     // 38
    {PieceType::PentominoP, "X./XX/XX"},     // 39
    {PieceType::PentominoP, ".X/XX/XX"},     // 40
    {PieceType::PentominoP, "XXX/.XX"},      // 41
    {PieceType::PentominoP, ".XX/XXX"},      // 42
    {PieceType::PentominoP, "XXX/XX."},      // 43
    {PieceType::PentominoP, "XX./XXX"},      // 44
    {PieceType::PentominoW, "X../XX./.XX"},  // 45
    {PieceType::PentominoW, ".XX/XX./X.."},  // 46
    {PieceType::PentominoW, "..X/.XX/XX."},  // 47
    {PieceType::PentominoW, "XX./.XX/..X"},  // 48
    {PieceType::PentominoZ, "X../XXX/..X"},  // 49
    {PieceType::PentominoZ, "..X/XXX/X.."},  // 50
    {PieceType::PentominoZ, ".XX/.X./XX."},  // 51
    {PieceType::PentominoZ, "XX./.X./.XX"},  // 52
    {PieceType::PentominoY, "XXXX/.X.."},    // 53
    {PieceType::PentominoY, ".X../XXXX"},    // 54
    {PieceType::PentominoY, "XXXX/..X."},    // 55
    {PieceType::PentominoY, "..X./XXXX"},    // 56
    {PieceType::PentominoY, "X./X./XX/X."},  // 57
    {PieceType::PentominoY, ".X/.X/XX/.X"},  // 58
    {PieceType::PentominoY, "X./XX/X./X."},  // 59
    {PieceType::PentominoY, ".X/XX/.X/.X"},  // 60
    {PieceType::PentominoL, "XXXX/X..."},    // 61
    {PieceType::PentominoL, "X.../XXXX"},    // 62
    {PieceType::PentominoL, "XXXX/...X"},    // 63
    {PieceType::PentominoL, "...X/XXXX"},    // 64
    {PieceType::PentominoL, "X./X./X./XX"},  // 65
    {PieceType::PentominoL, ".X/.X/.X/XX"},  // 66
    {PieceType::PentominoL, "XX/X./X./X."},  // 67
    {PieceType::PentominoL, "XX/.X/.X/.X"},  // 68
    {PieceType::PentominoU, "X.X/XXX"},      // 69
    {PieceType::PentominoU, "XXX/X.X"},      // 70
    {PieceType::PentominoU, "XX/X./XX"},     // 71
    {PieceType::PentominoU, "XX/.X/XX"},     // 72
    {PieceType::PentominoT, ".X./.X./XXX"},  // 73
    {PieceType::PentominoT, "X../XXX/X.."},  // 74
    {PieceType::PentominoT, "XXX/.X./.X."},  // 75
    {PieceType::PentominoT, "..X/XXX/..X"},  // 76
    {PieceType::PentominoV, "XXX/X../X.."},  // 77
    {PieceType::PentominoV, "X../X../XXX"},  // 78
    {PieceType::PentominoV, "..X/..X/XXX"},  // 79
    {PieceType::PentominoV, "XXX/..X/..X"},  // 80
    {PieceType::PentominoN, ".XXX/XX.."},    // 81
    {PieceType::PentominoN, "XX../.XXX"},    // 82
    {PieceType::PentominoN, "XXX./..XX"},    // 83
    {PieceType::PentominoN, "..XX/XXX."},    // 84
    {PieceType::PentominoN, "X./X./XX/.X"},  // 85
    {PieceType::PentominoN, ".X/.X/XX/X."},  // 86
    {PieceType::PentominoN, ".X/XX/X./X."},  // 87
    {PieceType::PentominoN, "X./XX/.X/.X"},  // 88
    {PieceType::PentominoI, "XXXXX"},        // 89
    {PieceType::PentominoI, "X/X/X/X/X"},    // 90
}};

// One row of the table as a Row: a single run, or a run with one empty square inside it.
Row parse_row(std::string_view text) {
    const std::size_t start = text.find('X');
    const std::size_t end = text.rfind('X') + 1;
    const std::size_t hole = text.find('.', start);
    if (hole != std::string_view::npos && hole < end) return Row{hole, start, end - start - 1};
    return Row{std::nullopt, start, end - start};
}

// The row's 20 squares followed by its guard square.
std::array<std::uint8_t, ROW_STRIDE> row_squares(const Row& row) {
    if (row.start + row.len > BOARD_SIZE)
        fatal("Row run of " + std::to_string(row.len) + " squares at column " +
              std::to_string(row.start) + " does not fit in 20 columns");
    std::array<std::uint8_t, BOARD_SIZE + 1> squares{};
    for (std::size_t i = row.start; i < row.start + row.len; ++i) squares[i] = 1;
    if (row.gap) {
        if (*row.gap >= BOARD_SIZE)
            fatal("Row gap at column " + std::to_string(*row.gap) + " lies beyond 20 squares");
        for (std::size_t i = BOARD_SIZE; i > *row.gap; --i) squares[i] = squares[i - 1];
        squares[*row.gap] = 0;
    }
    squares[BOARD_SIZE] = 0;  // the guard square, and whatever the gap pushed past column 19
    return squares;
}

}  // namespace

const char* name(PieceType t) {
    static constexpr std::array<const char*, NUM_PIECE_TYPES> NAMES = {
        "Monomino",   "Domino",     "TrominoL",   "TrominoI",   "TetrominoT", "TetrominoO",
        "TetrominoL", "TetrominoI", "TetrominoS", "PentominoF", "PentominoX", "PentominoP",
        "PentominoW", "PentominoZ", "PentominoY", "PentominoL", "PentominoU", "PentominoT",
        "PentominoV", "PentominoN", "PentominoI"};
    const std::size_t i = position(t);
    return i < NUM_PIECE_TYPES ? NAMES[i] : "?";
}

u128 Piece::shape_mask() const {
    // Square k of the list becomes bit k; each row takes 21 squares, the Bitboard row stride.
    u128 mask = 0;
    std::size_t bit = 0;
    for (const Row& row : rows) {
        for (std::uint8_t square : row_squares(row)) {
            if (square != 0 && bit < 128) mask |= u128{1} << bit;
            ++bit;
        }
    }
    return mask;
}

Vec<Translation> Piece::build_translations() const {
    Vec<Translation> result;
    result.reserve((max_row + 1) * (max_col + 1));
    const Bitboard shape = Bitboard::from_low_bits(shape_mask());
    for (std::size_t m = 0; m <= max_row; ++m)
        for (std::size_t k = 0; k <= max_col; ++k)
            result.push_back(Translation{m * BOARD_SIZE + k, shape.translate(k, m)});
    return result;
}

Vec<Piece> generate() {
    Vec<Piece> pieces;
    pieces.reserve(NUM_ORIENTATIONS);
    std::array<std::size_t, NUM_PIECE_TYPES> next_ordinal{};
    for (const Orientation& o : ORIENTATIONS) {
        Piece piece;
        piece.piece_type = o.piece_type;
        piece.ordinal = next_ordinal[position(o.piece_type)]++;
        const std::size_t width = std::min(o.rows.find('/'), o.rows.size());
        for (std::size_t begin = 0; begin < o.rows.size(); begin += width + 1)
            piece.rows.push_back(parse_row(o.rows.substr(begin, width)));
        piece.max_row = BOARD_SIZE - piece.rows.size();
        piece.max_col = BOARD_SIZE - width;
        pieces.push_back(std::move(piece));
    }
    std::stable_sort(pieces.begin(), pieces.end());
    return pieces;
}

}  // namespace game
