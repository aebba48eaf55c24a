// Bits to bytes: the step from a bit mask, or a board, to the 0/1 bytes an observer reads.
#pragma once

#include <cstddef>
#include <cstdint>

namespace game {

// Writes 8 * num_bytes bytes: out[8 * i + k] is bit 7 - k of bits[i], as 0 or 1 (the order of
// numpy.unpackbits). Uses the widest vector instructions the processor has.
void unpack_bits(const std::uint8_t* bits, std::size_t num_bytes, std::uint8_t* out);

}  // namespace game
