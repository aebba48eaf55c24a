// Output arrays for a batch, owned by the caller: what the engine's tests and the batch benchmark
// hand to EnvBatch::reset and EnvBatch::step.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "game/batch.hpp"

namespace game::support {

struct BatchOutputs {
    std::vector<std::uint8_t> planes, masks, hands, terminated;
    std::vector<std::int32_t> legal_offsets, legal_indices;
    std::vector<std::int8_t> seats;
    std::vector<std::int16_t> scores, placements;
    std::vector<float> rewards;
    std::vector<std::uint8_t> final_planes, final_hands;
    std::vector<std::int8_t> final_seats;

    BatchOutputs(std::size_t num_envs, MaskLayout layout)
        : planes(num_envs * PLANE_BYTES),
          masks(num_envs * EnvBatch::mask_bytes(layout)),
          hands(num_envs * HAND_BYTES),
          terminated(num_envs),
          legal_offsets(layout == MaskLayout::Indices ? num_envs + 1 : 0),
          legal_indices(layout == MaskLayout::Indices ? num_envs * MAX_LEGAL_PLACEMENTS : 0),
          seats(num_envs),
          scores(num_envs * NUM_AGENTS),
          placements(num_envs),
          rewards(num_envs),
          final_planes(num_envs * PLANE_BYTES),
          final_hands(num_envs * HAND_BYTES),
          final_seats(num_envs) {}

    BatchBuffers view() {
        return {planes.data(),     masks.data(),   legal_offsets.data(), legal_indices.data(),
                hands.data(),      seats.data(),   terminated.data(),    scores.data(),
                placements.data(), rewards.data(), final_planes.data(),  final_hands.data(),
                final_seats.data()};
    }

    // Env i's legal grid indices in the indices layout.
    std::span<const std::int32_t> legal_list(std::size_t i) const {
        return std::span(legal_indices)
            .subspan(static_cast<std::size_t>(legal_offsets[i]),
                     static_cast<std::size_t>(legal_offsets[i + 1] - legal_offsets[i]));
    }

    // Env i's legal grid indices, ascending, read in the batch's layout.
    std::vector<std::size_t> legal(std::size_t i, MaskLayout layout) const {
        std::vector<std::size_t> listed;
        if (layout == MaskLayout::Indices) {
            for (const std::int32_t g : legal_list(i))
                listed.push_back(static_cast<std::size_t>(g));
            return listed;
        }
        // Byte by byte, passing over the empty ones: the suites read masks at every step.
        const std::size_t bytes = EnvBatch::mask_bytes(layout);
        const std::uint8_t* mask = masks.data() + i * bytes;
        for (std::size_t b = 0; b < bytes; ++b) {
            if (mask[b] == 0) continue;
            if (layout == MaskLayout::Bytes) {
                listed.push_back(b);
                continue;
            }
            for (std::size_t k = 0; k < 8; ++k)
                if ((mask[b] >> (7 - k)) & 1) listed.push_back(b * 8 + k);
        }
        return listed;
    }

    // Equal in everything the batch wrote: the lists only up to their end, since the room beyond
    // holds whatever a longer list left there.
    bool operator==(const BatchOutputs& o) const {
        const auto written = [](const BatchOutputs& b) {
            return b.legal_offsets.empty()
                       ? std::span<const std::int32_t>()
                       : std::span(b.legal_indices)
                             .first(static_cast<std::size_t>(b.legal_offsets.back()));
        };
        const auto a_lists = written(*this), b_lists = written(o);
        return planes == o.planes && masks == o.masks && hands == o.hands &&
               terminated == o.terminated && legal_offsets == o.legal_offsets &&
               std::equal(a_lists.begin(), a_lists.end(), b_lists.begin(), b_lists.end()) &&
               seats == o.seats && scores == o.scores && placements == o.placements &&
               rewards == o.rewards && final_planes == o.final_planes &&
               final_hands == o.final_hands && final_seats == o.final_seats;
    }
};

// A uniformly random legal action per env; for an env whose game is over (nothing legal), a
// number that names no placement, which the step does not play.
inline std::vector<std::int64_t> random_actions(const EnvBatch& batch, const BatchOutputs& out,
                                                std::mt19937& rng) {
    std::vector<std::int64_t> actions(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::vector<std::size_t> legal = out.legal(i, batch.layout());
        actions[i] = legal.empty() ? -1 - static_cast<std::int64_t>(rng() % NUM_GRID_INDICES)
                                   : static_cast<std::int64_t>(legal[rng() % legal.size()]);
    }
    return actions;
}

// Outputs sized for `batch`, after a reset that fills them.
inline BatchOutputs reset_outputs(EnvBatch& batch) {
    BatchOutputs out(batch.size(), batch.layout());
    batch.reset(out.view());
    return out;
}

}  // namespace game::support
