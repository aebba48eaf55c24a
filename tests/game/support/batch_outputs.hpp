// Output arrays for a batch, owned by the caller: what the engine's tests and the batch benchmark
// hand to Batch::reset and Batch::step.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "game/batch.hpp"

namespace game::support {

struct BatchOutputs {
    std::vector<std::uint8_t> planes, masks, terminated;
    std::vector<std::int8_t> seats;
    std::vector<std::int16_t> rewards, placements;

    BatchOutputs(std::size_t num_envs, MaskLayout layout)
        : planes(num_envs * PLANE_BYTES),
          masks(num_envs * Batch::mask_bytes(layout)),
          terminated(num_envs),
          seats(num_envs),
          rewards(num_envs * NUM_AGENTS),
          placements(num_envs) {}

    BatchBuffers view() {
        return {planes.data(),  masks.data(),      seats.data(),
                rewards.data(), terminated.data(), placements.data()};
    }
    bool operator==(const BatchOutputs&) const = default;
};

// Outputs sized for `batch`, after a reset that fills them.
inline BatchOutputs reset_outputs(Batch& batch) {
    BatchOutputs out(batch.size(), batch.layout());
    batch.reset(out.view());
    return out;
}

}  // namespace game::support
