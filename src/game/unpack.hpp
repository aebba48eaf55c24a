// Bits to bytes: the step from a bit mask, or a board, to the 0/1 bytes an observer reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace game {

// Writes 8 * num_bytes bytes: out[8 * i + k] is bit 7 - k of bits[i], as 0 or 1 (the order of
// numpy.unpackbits). Uses the widest vector instructions the processor has.
void unpack_bits(const std::uint8_t* bits, std::size_t num_bytes, std::uint8_t* out);

// unpack_bits for num_rows rows of row_bytes bytes each, written one after another from out; a
// null row unpacks as if all its bits were 0.
void unpack_rows(const std::uint8_t* const* rows, std::size_t num_rows, std::size_t row_bytes,
                 std::uint8_t* out);

}  // namespace game
