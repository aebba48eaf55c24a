// The engine's random arithmetic, written once: splitmix64, a uniform pick of one of n things from
// a uniform 64-bit key, and the generator of each game of many. The games a seed plays depend on
// them bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>

namespace game {

// splitmix64's finaliser: spreads every input bit over the whole word.
constexpr std::uint64_t splitmix64_mix(std::uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// splitmix64: a whole generator in one word, so that seeding one costs nothing. Moves the state on
// and returns the next number.
constexpr std::uint64_t splitmix64_next(std::uint64_t& state) {
    return splitmix64_mix(state += 0x9e3779b97f4a7c15ULL);
}

// floor(key * n / 2^64): the key read as a fraction of the way through n things. Multiply-and-shift
// maps a uniform key onto [0, n) with a bias below n / 2^64, and costs no division.
constexpr std::size_t rank_at_fraction(std::uint64_t key, std::size_t n) {
    return static_cast<std::size_t>((static_cast<unsigned __int128>(key) * n) >> 64);
}

// The generator of game `index` of many, seeded from (seed, index) alone: every env of a batch
// and every game of an arena. seed_seq mixes all four words, so neighbouring seeds and
// neighbouring games start far apart, and its output is fixed by the standard: a game replays on
// every platform.
inline std::mt19937_64 seeded_generator(std::uint64_t seed, std::uint64_t index) {
    std::seed_seq words{static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32),
                        static_cast<std::uint32_t>(index), static_cast<std::uint32_t>(index >> 32)};
    return std::mt19937_64(words);
}

}  // namespace game
