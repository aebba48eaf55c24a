#include "game/unpack.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "game/cpu.hpp"

#if TAVLOK_X86_DISPATCH
#include <immintrin.h>
#endif

namespace game {

namespace {

// Byte k of entry b is bit 7 - k of b.
constexpr std::array<std::uint64_t, 256> BYTES_OF = [] {
    std::array<std::uint64_t, 256> table{};
    for (std::size_t b = 0; b < 256; ++b)
        for (std::size_t k = 0; k < 8; ++k)
            if ((b >> (7 - k)) & 1u) table[b] |= std::uint64_t{1} << (8 * k);
    return table;
}();

void unpack_tail(const std::uint8_t* bits, std::size_t num_bytes, std::uint8_t* out) {
    for (std::size_t i = 0; i < num_bytes; ++i) std::memcpy(out + 8 * i, &BYTES_OF[bits[i]], 8);
}

#if TAVLOK_X86_DISPATCH

// Eight source bytes to 64 output bytes. Each output byte picks its source byte with a shuffle and
// tests its own bit of it; shuffles stay within 16-byte lanes, so every lane holds a copy of the
// source bytes it needs.
[[gnu::target("avx512f,avx512bw"), gnu::always_inline]] inline __m512i unpack_eight(
    std::uint64_t source) {
    // Lane L of the output (bytes 16L to 16L + 15) takes source bytes 2L and 2L + 1.
    const __m512i pick = _mm512_set_epi64(
        0x0707070707070707, 0x0606060606060606, 0x0505050505050505, 0x0404040404040404,
        0x0303030303030303, 0x0202020202020202, 0x0101010101010101, 0x0000000000000000);
    const __m512i bit = _mm512_set1_epi64(0x0102040810204080);
    const __m512i spread =
        _mm512_shuffle_epi8(_mm512_set1_epi64(static_cast<long long>(source)), pick);
    return _mm512_maskz_mov_epi8(_mm512_test_epi8_mask(spread, bit), _mm512_set1_epi8(1));
}

// A 64-byte store that straddles two cache lines costs about two, so the output is written from
// its first 64-byte boundary on, after a few bytes by table.
std::size_t source_bytes_before_alignment(const std::uint8_t* out, std::size_t num_bytes,
                                          std::size_t alignment) {
    const auto misalignment = reinterpret_cast<std::uintptr_t>(out) % alignment;
    const std::size_t head = misalignment == 0 ? 0 : (alignment - misalignment + 7) / 8;
    return std::min(head, num_bytes);
}

[[gnu::target("avx512f,avx512bw")]] void unpack_avx512(const std::uint8_t* bits,
                                                       std::size_t num_bytes, std::uint8_t* out) {
    std::size_t i = source_bytes_before_alignment(out, num_bytes, 64);
    unpack_tail(bits, i, out);
    for (; i + 8 <= num_bytes; i += 8) {
        std::uint64_t source;
        std::memcpy(&source, bits + i, 8);
        _mm512_storeu_si512(out + 8 * i, unpack_eight(source));
    }
    unpack_tail(bits + i, num_bytes - i, out + 8 * i);
}

[[gnu::target("avx2")]] void unpack_avx2(const std::uint8_t* bits, std::size_t num_bytes,
                                         std::uint8_t* out) {
    // Lane 0 takes source bytes 0 and 1, lane 1 bytes 2 and 3.
    const __m256i pick = _mm256_set_epi64x(0x0303030303030303, 0x0202020202020202,
                                           0x0101010101010101, 0x0000000000000000);
    const __m256i bit = _mm256_set1_epi64x(0x0102040810204080);
    const __m256i ones = _mm256_set1_epi8(1);
    std::size_t i = source_bytes_before_alignment(out, num_bytes, 32);
    unpack_tail(bits, i, out);
    for (; i + 4 <= num_bytes; i += 4) {
        std::uint32_t source;
        std::memcpy(&source, bits + i, 4);
        const __m256i spread =
            _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(source)), pick);
        const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i), _mm256_and_si256(set, ones));
    }
    unpack_tail(bits + i, num_bytes - i, out + 8 * i);
}

#endif

using Unpack = void (*)(const std::uint8_t*, std::size_t, std::uint8_t*);

Unpack pick_unpack() {
#if TAVLOK_X86_DISPATCH
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) return unpack_avx512;
    if (__builtin_cpu_supports("avx2")) return unpack_avx2;
#endif
    return unpack_tail;
}

}  // namespace

void unpack_bits(const std::uint8_t* bits, std::size_t num_bytes, std::uint8_t* out) {
    // Decided once, by the first caller; the processor does not change under a running process.
    static const Unpack unpack = pick_unpack();
    unpack(bits, num_bytes, out);
}

}  // namespace game
