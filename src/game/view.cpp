#include "game/view.hpp"

#include <algorithm>

namespace game {

namespace {

// The first out.candidates of the mover's candidates, and what is past them.
void write_candidates(const NetInputs* inputs, const FieldArrays& out, std::size_t row) {
    const std::size_t wanted = out.candidates;
    const std::size_t shown = inputs != nullptr ? std::min(inputs->size(), wanted) : 0;
    if (auto* indices = out.row<Field::CandidateIndices>(row)) {
        for (std::size_t i = 0; i < shown; ++i)
            indices[i] = static_cast<std::int32_t>(inputs->grid_index(i));
        std::fill(indices + shown, indices + wanted, -1);
    }
    if (auto* features = out.row<Field::CandidateFeatures>(row)) {
        if (shown > 0) std::copy_n(inputs->row(0), shown * NET_FEATURES, features);
        std::fill(features + shown * NET_FEATURES, features + wanted * NET_FEATURES, 0.0f);
    }
    for (std::int8_t* mask :
         {out.row<Field::CandidateMask>(row), out.row<Field::MaskCandidates>(row)}) {
        if (mask == nullptr) continue;
        std::fill(mask, mask + shown, std::int8_t{1});
        std::fill(mask + shown, mask + wanted, std::int8_t{0});
    }
}

}  // namespace

void write_view(const View& view, const FieldArrays& out, std::size_t row, LegalLists* lists) {
    if (auto* planes = out.row<Field::Observation>(row)) view.seen.write_planes(planes);
    static const ActionMask NOTHING_LEGAL;
    const ActionMask& legal = view.legal != nullptr ? *view.legal : NOTHING_LEGAL;
    if (auto* mask = out.row<Field::MaskBytes>(row))
        legal.write_grid_bytes(reinterpret_cast<std::uint8_t*>(mask));
    if (auto* bits = out.row<Field::MaskBits>(row)) legal.write_grid_bits(bits);
    if (lists != nullptr) lists->list(row, view.legal);
    if (auto* hands = out.row<Field::Hands>(row)) view.seen.write_hands(hands);
    if (out.candidates > 0) write_candidates(view.candidates, out, row);
    if (auto* seat = out.row<Field::Seat>(row)) *seat = static_cast<std::int8_t>(view.seat);
}

}  // namespace game
