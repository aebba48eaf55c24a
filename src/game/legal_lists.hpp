// Legal actions as lists: the legal grid indices of many seats, each list ascending, laid end to
// end with an array of offsets (compressed sparse rows). A policy that picks among the legal
// actions, or scores only them, then reads a few hundred numbers instead of a 36,400-entry mask.
//
// Written in two passes over a pool of threads, with no allocation: every list's length, then
// (after a running sum on the calling thread) every list at its offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "game/actions.hpp"
#include "game/errors.hpp"

namespace game {

// No seat ever has more legal placements than this, so a buffer of this many indices per list
// never overflows. Before its first piece a seat has the 58 placements that cover its start
// corner. After it, take a seat that has placed the kinds S and holds the rest, H:
//
// 1. Every legal placement covers a corner cell c: an open cell diagonal to an own cell x. The
//    two cells beside both x and c are not own (c would share an edge with one), so x has a
//    convex corner toward c: both of x's neighbours on that side lie outside its piece. Each c
//    takes a different pair (x, direction), so there are at most conv(S) corner cells, conv(S)
//    being the number of convex corners of the pieces of S.
// 2. Those two cells share an edge with x, so they are not open: the cell of the placement that
//    covers c has no neighbour in its own piece toward x, either way. Per orientation, one
//    placement per such cell covers c; summed over the orientations of a kind, that is
//    orientations * convex corners / 4 placements for any one direction, since the orientations
//    are all the turns and mirror images of one shape.
// 3. So a kind P of H adds at most min(placements of P, conv(S) * per_corner(P)) placements, and
//    the largest sum of these over every nonempty S is the bound (S = monomino, domino, both
//    trominoes, the tetrominoes T, O, I and S, and the pentominoes X, W, Z, U, T and I).
//
// LegalListsTest.MaxLegalPlacementsIsTheBoundTheCatalogueGives works the bound out again from
// the catalogue, and the writer stops fatally rather than write past it.
inline constexpr std::size_t MAX_LEGAL_PLACEMENTS = 5402;

// The number of legal grid indices in `legal`; stops fatally above MAX_LEGAL_PLACEMENTS.
inline std::int32_t legal_count(const ActionMask& legal) {
    const std::size_t count = legal.count();
    if (count > MAX_LEGAL_PLACEMENTS)
        fatal("a seat has " + std::to_string(count) + " legal placements, more than the " +
              std::to_string(MAX_LEGAL_PLACEMENTS) + " that lists are sized for");
    return static_cast<std::int32_t>(count);
}

// Writes the legal grid indices of `legal` to out, ascending.
inline void write_legal_indices(const ActionMask& legal, std::int32_t* out) {
    legal.for_each_grid([&](std::size_t g) { *out++ = static_cast<std::int32_t>(g); });
}

// The legal grid indices of `count` seats end to end: list i is indices[offsets[i]] to
// indices[offsets[i + 1] - 1], and offsets[0] is 0. legal_of(i) is a pointer to seat i's legal
// actions, or null for a seat with none (a game that is over). `offsets` holds count + 1 entries
// and `indices` count * MAX_LEGAL_PLACEMENTS. Runs on `pool` (a WorkerPool, batch.hpp); returns
// the number of indices written.
template <class Pool, class LegalOf>
std::size_t write_legal_lists(Pool& pool, std::size_t count, LegalOf&& legal_of,
                              std::int32_t* offsets, std::int32_t* indices) {
    pool.run(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            const ActionMask* legal = legal_of(i);
            offsets[i + 1] = legal != nullptr ? legal_count(*legal) : 0;
        }
    });
    offsets[0] = 0;
    for (std::size_t i = 0; i < count; ++i) offsets[i + 1] += offsets[i];
    pool.run(count, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            if (const ActionMask* legal = legal_of(i))
                write_legal_indices(*legal, indices + offsets[i]);
    });
    return static_cast<std::size_t>(offsets[count]);
}

}  // namespace game
