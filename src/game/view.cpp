#include "game/view.hpp"

#include <cstring>

namespace game {

void write_view(const View& view, const FieldArrays& out, std::size_t row, LegalLists* lists) {
    if (auto* planes = out.row<Field::Observation>(row))
        view.seen.write_planes(planes);
    if (auto* mask = out.row<Field::MaskBytes>(row)) {
        auto* bytes = reinterpret_cast<std::uint8_t*>(mask);
        if (view.legal != nullptr)
            view.legal->write_grid_bytes(bytes);
        else
            std::memset(bytes, 0, spec(Field::MaskBytes).bytes());
    }
    if (auto* bits = out.row<Field::MaskBits>(row)) {
        if (view.legal != nullptr)
            view.legal->write_grid_bits(bits);
        else
            std::memset(bits, 0, spec(Field::MaskBits).bytes());
    }
    if (lists != nullptr) lists->list(row, view.legal);
    if (auto* hands = out.row<Field::Hands>(row)) view.seen.write_hands(hands);
    if (auto* seat = out.row<Field::Seat>(row))
        *seat = static_cast<std::int8_t>(view.seat);
}

}  // namespace game
