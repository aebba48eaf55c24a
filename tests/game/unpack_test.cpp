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

TEST(UnpackBits, RowsFollowOneAnotherAndANullRowIsZeros) {
    const std::uint8_t first[3] = {0xFF, 0x01, 0x80}, third[3] = {0x00, 0x40, 0xFF};
    const std::uint8_t* rows[3] = {first, nullptr, third};
    std::vector<std::uint8_t> out(3 * 24 + 1, 0xAB);
    unpack_rows(rows, 3, 3, out.data());
    for (std::size_t r = 0; r < 3; ++r)
        for (std::size_t i = 0; i < 24; ++i) {
            const unsigned expected = rows[r] ? (rows[r][i / 8] >> (7 - i % 8)) & 1u : 0u;
            ASSERT_EQ(out[r * 24 + i], expected) << r << " " << i;
        }
    EXPECT_EQ(out.back(), 0xAB);
}

}  // namespace
}  // namespace game
