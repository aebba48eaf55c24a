#include "game/sparse.hpp"

#include <string>

namespace game {

std::size_t write_legal_offsets(std::span<const ActionMask> masks, std::int32_t* offsets,
                                WorkerPool& pool) {
    if (masks.size() > MAX_SPARSE_ROWS)
        fatal("sparse legal actions of " + std::to_string(masks.size()) + " rows, more than " +
              std::to_string(MAX_SPARSE_ROWS));
    // Counts go one place up, and a running sum then turns them into offsets in place.
    offsets[0] = 0;
    pool.run(masks.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i)
            offsets[i + 1] = static_cast<std::int32_t>(masks[i].count());
    });
    for (std::size_t i = 0; i < masks.size(); ++i) offsets[i + 1] += offsets[i];
    return static_cast<std::size_t>(offsets[masks.size()]);
}

void write_legal_indices(std::span<const ActionMask> masks, const std::int32_t* offsets,
                         std::int32_t* indices, WorkerPool& pool) {
    pool.run(masks.size(), [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::int32_t* out = indices + offsets[i];
            masks[i].for_each_grid([&](std::size_t g) { *out++ = static_cast<std::int32_t>(g); });
        }
    });
}

}  // namespace game
