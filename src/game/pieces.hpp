// The 21 piece kinds, their 91 orientations, and every placement of an orientation on the empty
// board.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "game/alloc.hpp"
#include "game/bitboard.hpp"

namespace game {

// Codes rise with enum position; code % 6 is the number of cells.
enum class PieceType : std::uint8_t {
    Monomino = 1,
    Domino = 2,
    TrominoL = 3,
    TrominoI = 9,
    TetrominoT = 10,
    TetrominoO = 16,
    TetrominoL = 22,
    TetrominoI = 28,
    TetrominoS = 34,
    PentominoF = 35,
    PentominoX = 41,
    PentominoP = 47,
    PentominoW = 53,
    PentominoZ = 59,
    PentominoY = 65,
    PentominoL = 71,
    PentominoU = 77,
    PentominoT = 83,
    PentominoV = 89,
    PentominoN = 95,
    PentominoI = 101,
};

inline constexpr std::size_t NUM_PIECE_TYPES = 21;
inline constexpr std::size_t NUM_ORIENTATIONS = 91;

inline constexpr std::array<PieceType, NUM_PIECE_TYPES> ALL_PIECE_TYPES = {
    PieceType::Monomino,   PieceType::Domino,     PieceType::TrominoL,   PieceType::TrominoI,
    PieceType::TetrominoT, PieceType::TetrominoO, PieceType::TetrominoL, PieceType::TetrominoI,
    PieceType::TetrominoS, PieceType::PentominoF, PieceType::PentominoX, PieceType::PentominoP,
    PieceType::PentominoW, PieceType::PentominoZ, PieceType::PentominoY, PieceType::PentominoL,
    PieceType::PentominoU, PieceType::PentominoT, PieceType::PentominoV, PieceType::PentominoN,
    PieceType::PentominoI,
};

constexpr std::uint8_t code(PieceType t) { return static_cast<std::uint8_t>(t); }
constexpr std::size_t num_cells(PieceType t) { return code(t) % 6; }

// Position of the kind in ALL_PIECE_TYPES, 0 to 20: the key of every per-kind table.
constexpr std::size_t position(PieceType t) {
    for (std::size_t i = 0; i < NUM_PIECE_TYPES; ++i)
        if (ALL_PIECE_TYPES[i] == t) return i;
    return NUM_PIECE_TYPES;
}

const char* name(PieceType t);

// A set of piece kinds, one bit per kind: a player's hand. Reads and updates are single bit
// operations, so a player's state needs no allocation.
class PieceSet {
public:
    static constexpr PieceSet all() { return PieceSet((std::uint32_t{1} << NUM_PIECE_TYPES) - 1); }
    constexpr PieceSet() = default;

    constexpr bool contains(PieceType t) const { return (bits_ >> position(t)) & 1u; }
    constexpr void remove(PieceType t) { bits_ &= ~(std::uint32_t{1} << position(t)); }
    constexpr std::size_t size() const { return static_cast<std::size_t>(std::popcount(bits_)); }
    constexpr bool empty() const { return bits_ == 0; }
    constexpr std::uint32_t bits() const { return bits_; }
    constexpr bool operator==(const PieceSet&) const = default;

    // Calls f(piece type) for every kind in the set, in enum order.
    template <class F>
    constexpr void for_each(F&& f) const {
        for (std::uint32_t b = bits_; b != 0; b &= b - 1)
            f(ALL_PIECE_TYPES[static_cast<std::size_t>(std::countr_zero(b))]);
    }

private:
    constexpr explicit PieceSet(std::uint32_t bits) : bits_(bits) {}
    std::uint32_t bits_ = 0;
};

// One row of a shape: `start` empty squares, `len` filled ones, and, when `gap` is present, one
// empty square inserted at column `gap`.
struct Row {
    std::optional<std::size_t> gap;
    std::size_t start = 0;
    std::size_t len = 0;
};

// One placement of one orientation: the top-left corner of its bounding box (row * 20 + col) and
// the cells it covers.
struct Translation {
    std::size_t position = 0;
    Bitboard cells;
};

// One orientation of one piece kind.
struct Piece {
    Vec<Row> rows;
    std::size_t ordinal = 0;
    std::size_t max_row = 0;
    std::size_t max_col = 0;
    PieceType piece_type = PieceType::Monomino;

    // Every position at which the orientation fits on the empty board, by position ascending.
    Vec<Translation> build_translations() const;

    // The shape at offset (0, 0), bit r * 21 + c for a filled square of row r, column c.
    u128 shape_mask() const;
};

// Ordered by kind code, then by ordinal.
constexpr bool operator<(const Piece& a, const Piece& b) {
    if (code(a.piece_type) != code(b.piece_type)) return code(a.piece_type) < code(b.piece_type);
    return a.ordinal < b.ordinal;
}

// The 91 orientations; a Piece's position in the list is its orientation index.
Vec<Piece> generate();

}  // namespace game
