// Legal actions in the sparse form that batched callers read: for many positions at once, each
// one's legal grid indices, ascending, packed end to end as int32 and found through an offsets
// array (compressed sparse rows). Row i's indices are indices[offsets[i]] to
// indices[offsets[i + 1] - 1]. A policy that scores only legal actions then does work in
// proportion to the legal actions, not to the 36,400 grid indices.
//
// Written in two passes, so that a caller can size `indices` exactly in between: the offsets
// from the rows' counts, then the indices. Both share the rows out over a WorkerPool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "game/actions.hpp"
#include "game/batch.hpp"

namespace game {

// Rows beyond this could hold more legal indices than an int32 offset can count.
inline constexpr std::size_t MAX_SPARSE_ROWS = 65536;
static_assert(MAX_SPARSE_ROWS * NUM_ACTIONS < (std::size_t{1} << 31));

// Writes offsets[0] = 0 and offsets[i + 1] = offsets[i] + masks[i].count() (masks.size() + 1
// entries); returns the total, offsets[masks.size()]. More than MAX_SPARSE_ROWS masks stop
// fatally.
std::size_t write_legal_offsets(std::span<const ActionMask> masks, std::int32_t* offsets,
                                WorkerPool& pool);

// Writes each mask's legal grid indices, ascending, from indices[offsets[i]] on, with the offsets
// that write_legal_offsets wrote for the same masks.
void write_legal_indices(std::span<const ActionMask> masks, const std::int32_t* offsets,
                         std::int32_t* indices, WorkerPool& pool);

}  // namespace game
