// Legal actions as lists: the legal grid indices of many seats, each list ascending, laid end to
// end with an array of offsets (compressed sparse rows). A policy that picks among the legal
// actions, or scores only them, then reads a few hundred numbers instead of a 36,400-entry mask.
//
// Written with no allocation, in two steps: each list into a slot of its own while its mask is at
// hand (on whichever thread works on that seat), then every list at its offset, after a running
// sum of the lengths, split over a pool of threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "game/actions.hpp"
#include "game/alloc.hpp"
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

// The most lists whose offsets, int32, cannot overflow however long the lists are.
inline constexpr std::size_t MAX_LISTS = INT32_MAX / MAX_LEGAL_PLACEMENTS;

// The lists of a fixed number of seats (a batch's envs, an arena's games). A slot keeps its list
// until it is listed again, so a caller lists only the seats that changed.
class LegalLists {
public:
    // Room for `count` lists; the slots' memory is touched only as far as lists reach. The count
    // is the caller's, so running out of memory throws std::bad_alloc; more than MAX_LISTS stop
    // fatally. The slots come from new[] without a value, which leaves them unwritten as
    // make_unique_for_overwrite would; libc++ 14 lacks that.
    explicit LegalLists(std::size_t count)
        : slots_(new std::uint16_t[checked_count(count) * SLOT]),
          lengths_(count, 0) {}

    std::size_t size() const { return lengths_.size(); }

    // Seat i's legal grid indices into its slot, ascending; none for a null `legal` (a game that
    // is over). Calls for different seats may run on different threads at once. Stops fatally
    // on a list longer than MAX_LEGAL_PLACEMENTS.
    void list(std::size_t i, const ActionMask* legal) {
        const std::size_t length =
            legal != nullptr ? legal->write_grid_list(slots_.get() + i * SLOT, MAX_LEGAL_PLACEMENTS)
                             : 0;
        if (length > MAX_LEGAL_PLACEMENTS)
            fatal("a seat has " + std::to_string(legal->count()) +
                  " legal placements, more than the " + std::to_string(MAX_LEGAL_PLACEMENTS) +
                  " that lists are sized for");
        lengths_[i] = static_cast<std::int32_t>(length);
    }

    // Every list end to end: list i is indices[offsets[i]] to indices[offsets[i + 1] - 1], and
    // offsets[0] is 0. `offsets` holds size() + 1 entries and `indices` room for
    // size() * MAX_LEGAL_PLACEMENTS. Runs on `pool` (a WorkerPool, worker_pool.hpp); returns the
    // number of indices written.
    template <class Pool>
    std::size_t pack(Pool& pool, std::int32_t* offsets, std::int32_t* indices) const {
        const std::size_t total = write_offsets(size(), offsets);
        write_indices(pool, size(), offsets, indices);
        return total;
    }

    // The two halves of pack for the first `count` lists alone, so that a caller can size
    // `indices` exactly in between: writes their count + 1 offsets and returns the last.
    std::size_t write_offsets(std::size_t count, std::int32_t* offsets) const {
        offsets[0] = 0;
        for (std::size_t i = 0; i < count; ++i) offsets[i + 1] = offsets[i] + lengths_[i];
        return static_cast<std::size_t>(offsets[count]);
    }
    // Copies the first `count` lists to `indices` at the offsets that write_offsets wrote.
    template <class Pool>
    void write_indices(Pool& pool, std::size_t count, const std::int32_t* offsets,
                       std::int32_t* indices) const {
        const auto copy = [&](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                const std::uint16_t* from = slots_.get() + i * SLOT;
                std::int32_t* to = indices + offsets[i];
                // The length is read once: the int32 stores could alias it, which would reload
                // it every entry and keep the widening copy from being vectorised.
                const auto length = static_cast<std::size_t>(lengths_[i]);
                for (std::size_t k = 0; k < length; ++k) to[k] = from[k];
            }
        };
        // A batch's lists usually take microseconds to copy, less than waking the pool's threads
        // and waiting for the last of them, which on a busy machine may not run for a while.
        if (static_cast<std::size_t>(offsets[count]) < POOLED_COPY)
            copy(0, count);
        else
            pool.run(count, copy);
    }

    // From this many indices on, write_indices shares the copying out over the pool.
    static constexpr std::size_t POOLED_COPY = std::size_t{1} << 16;

private:
    // Room per seat: the bound, and one orientation's anchors beyond it, where a list that the
    // bound did not foresee is cut short (ActionMask::write_grid_list). Grid indices fit 16 bits.
    // Not zeroed, unlike a vector's.
    static constexpr std::size_t SLOT = MAX_LEGAL_PLACEMENTS + CELLS_PER_ORIENTATION;

    static std::size_t checked_count(std::size_t count) {
        if (count > MAX_LISTS)
            fatal(std::to_string(count) + " legal lists, more than the " +
                  std::to_string(MAX_LISTS) + " whose offsets fit 32 bits");
        return count;
    }

    std::unique_ptr<std::uint16_t[]> slots_;
    SizedByCaller<std::int32_t> lengths_;
};

}  // namespace game
