// Set algebra a word at a time, written once for the engine's sets of cells: Bitboard (rows with
// guard bits), GridSet (grid order, as a bit mask is handed out) and HighFirst (grid order read as
// one wide number). Each keeps its bits in an array of 64-bit words named `words`; union,
// intersection and difference do not depend on which bit stands for which cell.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace game {

// Derive Set from WordSet<Set> to give it the operators, which work on words[First] to
// words[Last - 1] and leave any others of a result empty. Bits a Set keeps empty (a GridSet's
// positions past 399) stay empty under all of them; only Bitboard, whose every bit means
// something, adds a complement.
template <class Set, std::size_t First = 0, std::size_t Last = 8>
struct WordSet {
    friend constexpr Set operator|(const Set& a, const Set& b) {
        return zip(a, b, [](std::uint64_t x, std::uint64_t y) { return x | y; });
    }
    friend constexpr Set operator&(const Set& a, const Set& b) {
        return zip(a, b, [](std::uint64_t x, std::uint64_t y) { return x & y; });
    }
    friend constexpr Set operator^(const Set& a, const Set& b) {
        return zip(a, b, [](std::uint64_t x, std::uint64_t y) { return x ^ y; });
    }
    friend constexpr Set& operator|=(Set& a, const Set& b) { return a = a | b; }

    // The elements of this set that are not in o.
    constexpr Set minus(const Set& o) const {
        return zip(self(), o, [](std::uint64_t x, std::uint64_t y) { return x & ~y; });
    }
    // Holds nothing itself: the sets' own == compares their words.
    constexpr bool operator==(const WordSet&) const = default;

    constexpr bool is_empty() const {
        std::uint64_t any = 0;
        for (std::size_t i = First; i < Last; ++i) any |= self().words[i];
        return any == 0;
    }
    constexpr bool intersects(const Set& o) const { return !(self() & o).is_empty(); }
    constexpr std::size_t count() const {
        std::size_t n = 0;
        for (std::size_t i = First; i < Last; ++i)
            n += static_cast<std::size_t>(std::popcount(self().words[i]));
        return n;
    }

private:
    constexpr const Set& self() const { return static_cast<const Set&>(*this); }

    template <class Op>
    static constexpr Set zip(const Set& a, const Set& b, Op op) {
        Set r;
        static_assert(Last <= sizeof r.words / sizeof r.words[0]);
        for (std::size_t i = First; i < Last; ++i) r.words[i] = op(a.words[i], b.words[i]);
        return r;
    }
};

}  // namespace game
