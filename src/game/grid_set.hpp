// A set of the board's 400 cells in the order of the grid index, position p = row * 20 + col,
// kept exactly as a bit mask is handed out: position p is bit 7 - p % 8 of byte p / 8 (the order
// of numpy.packbits). An orientation's legal anchors held in this form are already its 50 bytes of
// a bit mask, and one unpacking away from its 400 bytes of a byte mask.
//
// Rows have no guard bit here, so a move that takes cells sideways must drop what wrapped into
// the next row with a column mask; positions 400 to 511 are never set.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

#include "game/bitboard.hpp"
#include "game/word_set.hpp"

namespace game {

namespace detail {
// A word of the mask read as a number whose most significant bit is the word's first position.
constexpr std::uint64_t first_position_high(std::uint64_t raw) {
    if constexpr (std::endian::native == std::endian::big) {
        return raw;
    } else {
        return __builtin_bswap64(raw);
    }
}
}  // namespace detail

struct GridSet : WordSet<GridSet> {
    static constexpr std::size_t POSITIONS = BOARD_SIZE * BOARD_SIZE;
    static constexpr std::size_t WORDS = 8;
    // The bytes that hold positions; the rest of the 64 are always zero.
    static constexpr std::size_t BYTES = POSITIONS / 8;

    // The mask's bytes in order, eight to a word, so that set operations take a word at a time.
    std::array<std::uint64_t, WORDS> words{};

    const std::uint8_t* bytes() const {
        return reinterpret_cast<const std::uint8_t*>(words.data());
    }

    // For positions the caller already bounds to [0, 512).
    constexpr bool test(std::size_t p) const { return (words[p / 64] >> word_bit(p)) & 1u; }
    constexpr void set(std::size_t p) { words[p / 64] |= std::uint64_t{1} << word_bit(p); }

    constexpr bool operator==(const GridSet&) const = default;

    // Calls f(position) for every position in the set, in ascending order.
    template <class F>
    constexpr void for_each(F&& f) const {
        for (std::size_t w = 0; w < WORDS; ++w)
            for (std::uint64_t v = detail::first_position_high(words[w]); v != 0;) {
                const auto j = static_cast<std::size_t>(std::countl_zero(v));
                f(w * 64 + j);
                v &= ~(std::uint64_t{1} << (63 - j));
            }
    }

private:
    // Where position p sits in its word: byte (p % 64) / 8 of the word in memory, bit 7 - p % 8
    // of that byte.
    static constexpr std::size_t word_bit(std::size_t p) {
        if constexpr (std::endian::native == std::endian::big) {
            return 63 - p % 64;
        } else {
            return 8 * (p % 64 / 8) + 7 - p % 8;
        }
    }
};

// A set's words read with the first position as the most significant bit: moving cells is then a
// plain shift of a 512-bit number. The legality kernel works out a position's open and corner
// cells in this form. The words are one aligned block, a register where the processor has them:
// a move shifts the whole block at once rather than reading each word's neighbour back from
// memory, a read that waits when the block was just stored whole.
struct HighFirst : WordSet<HighFirst> {
    alignas(sizeof(GridSet)) std::array<std::uint64_t, GridSet::WORDS> words{};

    static constexpr HighFirst of(const GridSet& s) {
        HighFirst h;
        for (std::size_t i = 0; i < GridSet::WORDS; ++i)
            h.words[i] = detail::first_position_high(s.words[i]);
        return h;
    }
    constexpr bool operator==(const HighFirst&) const = default;

    // Position p of the result is position p + N of this set (cells move N positions toward the
    // start); positions past 511 read as empty. For 0 < N < 64.
    template <std::size_t N>
    constexpr HighFirst toward_start() const {
        return moved<true, N>();
    }
    // Position p of the result is position p - N of this set (cells move N positions toward the
    // end); what moves past 511 is lost. For 0 < N < 64.
    template <std::size_t N>
    constexpr HighFirst toward_end() const {
        return moved<false, N>();
    }

private:
    using Words [[gnu::vector_size(sizeof(GridSet))]] = std::uint64_t;

    // Word i of the result: word i shifted by N, filled from the neighbouring word toward which
    // the cells move (word i + 1 toward the start, i - 1 toward the end; none past either end).
    template <bool TowardStart, std::size_t N>
    constexpr HighFirst moved() const {
        static_assert(N > 0 && N < 64);
        if (!std::is_constant_evaluated()) return moved_in_registers<TowardStart, N>();
        HighFirst r;
        for (std::size_t i = 0; i < GridSet::WORDS; ++i) {
            const std::uint64_t next = i + 1 < GridSet::WORDS ? words[i + 1] : 0;
            const std::uint64_t previous = i > 0 ? words[i - 1] : 0;
            r.words[i] = TowardStart ? (words[i] << N) | (next >> (64 - N))
                                     : (words[i] >> N) | (previous << (64 - N));
        }
        return r;
    }
    template <bool TowardStart, std::size_t N>
    HighFirst moved_in_registers() const {
        Words w;
        std::memcpy(&w, words.data(), sizeof w);
        const Words none{};
        Words v;
        if constexpr (TowardStart)
            v = (w << N) | (__builtin_shufflevector(w, none, 1, 2, 3, 4, 5, 6, 7, 8) >> (64 - N));
        else
            v = (w >> N) |
                (__builtin_shufflevector(none, w, 7, 8, 9, 10, 11, 12, 13, 14) << (64 - N));
        HighFirst r;
        std::memcpy(r.words.data(), &v, sizeof v);
        return r;
    }
};

namespace detail {
constexpr HighFirst positions_where(bool (*keep)(std::size_t row, std::size_t col)) {
    GridSet s;
    for (std::size_t p = 0; p < GridSet::POSITIONS; ++p)
        if (keep(p / BOARD_SIZE, p % BOARD_SIZE)) s.set(p);
    return HighFirst::of(s);
}
}  // namespace detail

// Every cell of the board; every cell but those of column 0; of column 19.
inline constexpr HighFirst ALL_CELLS_HIGH =
    detail::positions_where([](std::size_t, std::size_t) { return true; });
inline constexpr HighFirst NOT_FIRST_COLUMN_HIGH =
    detail::positions_where([](std::size_t, std::size_t col) { return col != 0; });
inline constexpr HighFirst NOT_LAST_COLUMN_HIGH =
    detail::positions_where([](std::size_t, std::size_t col) { return col != BOARD_SIZE - 1; });

// The placement rule's two sets for a seat that has placed before (open_cells and corner_cells
// in rules.hpp), from its own cells and the other seats' cells in its frame.
struct PlacementCells {
    HighFirst open, corners;
};

[[gnu::always_inline]] constexpr PlacementCells placement_cells(const GridSet& own_cells,
                                                                const GridSet& other_cells) {
    const HighFirst own = HighFirst::of(own_cells);
    // A move sideways lands cells of column 19 in column 0 of the next row, or the other way
    // round: grid order has no guard bits, so the column masks drop them.
    const HighFirst sideways = (own.toward_end<1>() & NOT_FIRST_COLUMN_HIGH) |
                               (own.toward_start<1>() & NOT_LAST_COLUMN_HIGH);
    const HighFirst beside =
        sideways | own.toward_end<BOARD_SIZE>() | own.toward_start<BOARD_SIZE>();
    const HighFirst open = ALL_CELLS_HIGH.minus(own | beside | HighFirst::of(other_cells));
    // Corner neighbours are the rows above and below the sideways neighbours.
    const HighFirst corners =
        (sideways.toward_end<BOARD_SIZE>() | sideways.toward_start<BOARD_SIZE>()) & open;
    return {open, corners};
}

}  // namespace game
