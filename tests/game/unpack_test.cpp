#include "game/unpack.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace game {
namespace {

TEST(UnpackBits, MatchesNumpyOrderForEveryLengthAndPlaceAndWritesNothingPast) {
    // Lengths around the vector widths exercise the tails, and outputs at every offset from a
    // 64-byte boundary the head; guard bytes on both sides must survive.
    std::mt19937 rng(11);
    for (std::size_t n = 0; n <= 140; ++n) {
        std::vector<std::uint8_t> bits(n);
        for (auto& b : bits) b = static_cast<std::uint8_t>(rng());
        if (n > 0) bits[0] = 0x80;
        for (std::size_t offset = 1; offset <= 64; offset += 7) {
            std::vector<std::uint8_t> buffer(8 * n + 128, 0xAB);
            std::uint8_t* out = buffer.data() + offset;
            unpack_bits(bits.data(), n, out);
            for (std::size_t i = 0; i < 8 * n; ++i)
                ASSERT_EQ(out[i], (bits[i / 8] >> (7 - i % 8)) & 1u) << n << " " << i;
            EXPECT_EQ(out[-1], 0xAB) << n;
            EXPECT_EQ(out[8 * n], 0xAB) << n;
        }
    }
}

}  // namespace
}  // namespace game
