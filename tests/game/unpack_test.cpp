#include "game/unpack.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace game {
namespace {

TEST(UnpackBits, MatchesNumpyOrderForEveryLengthAndWritesNothingPast) {
    // Lengths around the vector widths exercise the tails; a guard byte after the output
    // must survive.
    std::mt19937 rng(11);
    for (std::size_t n = 0; n <= 140; ++n) {
        std::vector<std::uint8_t> bits(n);
        for (auto& b : bits) b = static_cast<std::uint8_t>(rng());
        if (n > 0) bits[0] = 0x80;
        std::vector<std::uint8_t> out(8 * n + 1, 0xAB);
        unpack_bits(bits.data(), n, out.data());
        for (std::size_t i = 0; i < 8 * n; ++i)
            ASSERT_EQ(out[i], (bits[i / 8] >> (7 - i % 8)) & 1u) << n << " " << i;
        EXPECT_EQ(out[8 * n], 0xAB) << n;
    }
}

}  // namespace
}  // namespace game
