#include "game/view.hpp"

namespace game {

void write_view(const View& view, const FieldArrays& out, std::size_t row, LegalLists* lists) {
    if (auto* planes = out.row<Field::Observation>(row)) view.seen.write_planes(planes);
    static const ActionMask NOTHING_LEGAL;
    const ActionMask& legal = view.legal != nullptr ? *view.legal : NOTHING_LEGAL;
    if (auto* mask = out.row<Field::MaskBytes>(row))
        legal.write_grid_bytes(reinterpret_cast<std::uint8_t*>(mask));
    if (auto* bits = out.row<Field::MaskBits>(row)) legal.write_grid_bits(bits);
    if (lists != nullptr) lists->list(row, view.legal);
    if (auto* hands = out.row<Field::Hands>(row)) view.seen.write_hands(hands);
    if (auto* seat = out.row<Field::Seat>(row)) *seat = static_cast<std::int8_t>(view.seat);
}

}  // namespace game
