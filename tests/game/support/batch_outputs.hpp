// Output arrays for a batch, owned by the caller and laid out from the engine's table of fields:
// what the engine's tests and the batch benchmark hand to Batch::reset and Batch::step.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <span>
#include <vector>

#include "game/batch.hpp"

namespace game::support {

struct BatchOutputs {
    // Every field of the layout, and its copy kept at the end wherever a field has one.
    BatchOutputs(std::size_t num_envs, ViewLayout layout) : layout(layout) {
        for (const FieldSpec& field : FIELDS) {
            if (!field.in(layout)) continue;
            const std::size_t bytes = field.array_bytes(num_envs, layout.candidates);
            at[index(field.field)].resize(bytes);
            if (field.kept_at_end) kept[index(field.field)].resize(bytes);
        }
    }

    FieldArrays view() {
        FieldArrays arrays;
        arrays.candidates = layout.candidates;
        for (std::size_t f = 0; f < NUM_FIELDS; ++f) {
            if (!at[f].empty()) arrays.at[f] = at[f].data();
            if (!kept[f].empty()) arrays.kept[f] = kept[f].data();
        }
        return arrays;
    }

    // Env i's entries of a field laid out per env, or of its copy kept at the end.
    template <Field F>
    std::span<const ElementOf<F>> row(std::size_t i, bool kept_copy = false) const {
        const auto& bytes = (kept_copy ? kept : at)[index(F)];
        const auto* array = reinterpret_cast<const ElementOf<F>*>(bytes.data());
        const std::size_t entries = spec(F).entries(layout.candidates);
        return {array + i * entries, entries};
    }
    template <Field F>
    ElementOf<F> value(std::size_t i) const {
        return row<F>(i)[0];
    }
    // Which envs' games ended in the last call.
    std::vector<std::uint8_t> terminated() const {
        const auto& bytes = at[index(Field::Terminated)];
        return {bytes.begin(), bytes.end()};
    }

    // Env i's legal grid indices in the indices layout.
    std::span<const std::int32_t> legal_list(std::size_t i) const {
        const auto* offsets =
            reinterpret_cast<const std::int32_t*>(at[index(Field::LegalOffsets)].data());
        const auto* indices =
            reinterpret_cast<const std::int32_t*>(at[index(Field::LegalIndices)].data());
        return {indices + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
    }

    // Env i's legal grid indices, ascending, read in the batch's layout.
    std::vector<std::size_t> legal(std::size_t i) const {
        std::vector<std::size_t> listed;
        if (layout.mask == MaskLayout::Indices) {
            for (const std::int32_t g : legal_list(i))
                listed.push_back(static_cast<std::size_t>(g));
            return listed;
        }
        // Byte by byte, passing over the empty ones: the suites read masks at every step.
        const bool bits = layout.mask == MaskLayout::Bits;
        const FieldSpec& mask = spec(bits ? Field::MaskBits : Field::MaskBytes);
        const std::size_t length = mask.bytes(0);
        const std::uint8_t* bytes = at[index(mask.field)].data() + i * length;
        for (std::size_t b = 0; b < length; ++b) {
            if (bytes[b] == 0) continue;
            if (!bits) {
                listed.push_back(b);
                continue;
            }
            for (std::size_t k = 0; k < 8; ++k)
                if ((bytes[b] >> (7 - k)) & 1) listed.push_back(b * 8 + k);
        }
        return listed;
    }

    // Equal in everything the batch wrote: the lists only up to their end, since the room beyond
    // holds whatever a longer list left there.
    bool operator==(const BatchOutputs& o) const {
        for (std::size_t f = 0; f < NUM_FIELDS; ++f) {
            if (kept[f] != o.kept[f]) return false;
            if (f != index(Field::LegalIndices)) {
                if (at[f] != o.at[f]) return false;
                continue;
            }
            const auto written = [](const BatchOutputs& b) {
                const auto& offsets = b.at[index(Field::LegalOffsets)];
                std::int32_t end = 0;
                if (!offsets.empty())
                    std::copy_n(offsets.end() - sizeof end, sizeof end,
                                reinterpret_cast<std::uint8_t*>(&end));
                return std::span(b.at[index(Field::LegalIndices)])
                    .first(static_cast<std::size_t>(end) * sizeof(std::int32_t));
            };
            if (!std::ranges::equal(written(*this), written(o))) return false;
        }
        return true;
    }

    static constexpr std::size_t index(Field field) { return static_cast<std::size_t>(field); }

    ViewLayout layout;
    std::array<std::vector<std::uint8_t>, NUM_FIELDS> at, kept;
};

// A uniformly random legal action per env; for an env whose game is over (nothing legal), a
// number that names no placement, which the step does not play.
inline std::vector<std::int64_t> random_actions(const Batch& batch, const BatchOutputs& out,
                                                std::mt19937& rng) {
    std::vector<std::int64_t> actions(batch.size());
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const std::vector<std::size_t> legal = out.legal(i);
        actions[i] = legal.empty() ? -1 - static_cast<std::int64_t>(rng() % NUM_GRID_INDICES)
                                   : static_cast<std::int64_t>(legal[rng() % legal.size()]);
    }
    return actions;
}

// Outputs sized for `batch`, after a reset that fills them.
inline BatchOutputs reset_outputs(Batch& batch) {
    BatchOutputs out(batch.size(), batch.layout());
    batch.reset(out.view());
    return out;
}

}  // namespace game::support
