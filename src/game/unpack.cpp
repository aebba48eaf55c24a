#include "game/unpack.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__)
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

// Every version takes rows of row_bytes source bytes, a null row standing for zeros; the output
// rows follow one another.
using UnpackRows = void (*)(const std::uint8_t* const*, std::size_t, std::size_t, std::uint8_t*);

void unpack_rows_plain(const std::uint8_t* const* rows, std::size_t num_rows, std::size_t row_bytes,
                       std::uint8_t* out) {
    for (std::size_t r = 0; r < num_rows; ++r, out += 8 * row_bytes) {
        if (rows[r] == nullptr) {
            std::memset(out, 0, 8 * row_bytes);
        } else {
            unpack_tail(rows[r], row_bytes, out);
        }
    }
}

#if defined(__x86_64__)

// Each output byte picks its source byte with a shuffle and tests its own bit of it. Shuffles
// stay within 16-byte lanes, so every lane holds a copy of the source bytes it needs.
[[gnu::target("avx512f,avx512bw")]] void unpack_rows_avx512(const std::uint8_t* const* rows,
                                                            std::size_t num_rows,
                                                            std::size_t row_bytes,
                                                            std::uint8_t* out) {
    // Lane L of the output (bytes 16L to 16L + 15) takes source bytes 2L and 2L + 1.
    const __m512i pick = _mm512_set_epi64(
        0x0707070707070707, 0x0606060606060606, 0x0505050505050505, 0x0404040404040404,
        0x0303030303030303, 0x0202020202020202, 0x0101010101010101, 0x0000000000000000);
    const __m512i bit = _mm512_set1_epi64(0x0102040810204080);
    const __m512i ones = _mm512_set1_epi8(1);
    for (std::size_t r = 0; r < num_rows; ++r, out += 8 * row_bytes) {
        const std::uint8_t* bits = rows[r];
        if (bits == nullptr) {
            std::memset(out, 0, 8 * row_bytes);
            continue;
        }
        std::size_t i = 0;
        for (; i + 8 <= row_bytes; i += 8) {
            std::uint64_t source;
            std::memcpy(&source, bits + i, 8);
            const __m512i spread =
                _mm512_shuffle_epi8(_mm512_set1_epi64(static_cast<long long>(source)), pick);
            const __mmask64 set = _mm512_test_epi8_mask(spread, bit);
            _mm512_storeu_si512(out + 8 * i, _mm512_maskz_mov_epi8(set, ones));
        }
        unpack_tail(bits + i, row_bytes - i, out + 8 * i);
    }
}

[[gnu::target("avx2")]] void unpack_rows_avx2(const std::uint8_t* const* rows, std::size_t num_rows,
                                              std::size_t row_bytes, std::uint8_t* out) {
    // Lane 0 takes source bytes 0 and 1, lane 1 bytes 2 and 3.
    const __m256i pick = _mm256_set_epi64x(0x0303030303030303, 0x0202020202020202,
                                           0x0101010101010101, 0x0000000000000000);
    const __m256i bit = _mm256_set1_epi64x(0x0102040810204080);
    const __m256i ones = _mm256_set1_epi8(1);
    for (std::size_t r = 0; r < num_rows; ++r, out += 8 * row_bytes) {
        const std::uint8_t* bits = rows[r];
        if (bits == nullptr) {
            std::memset(out, 0, 8 * row_bytes);
            continue;
        }
        std::size_t i = 0;
        for (; i + 4 <= row_bytes; i += 4) {
            std::uint32_t source;
            std::memcpy(&source, bits + i, 4);
            const __m256i spread =
                _mm256_shuffle_epi8(_mm256_set1_epi32(static_cast<int>(source)), pick);
            const __m256i set = _mm256_cmpeq_epi8(_mm256_and_si256(spread, bit), bit);
            _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 8 * i),
                                _mm256_and_si256(set, ones));
        }
        unpack_tail(bits + i, row_bytes - i, out + 8 * i);
    }
}

#endif

UnpackRows pick_unpack() {
#if defined(__x86_64__)
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512bw")) return unpack_rows_avx512;
    if (__builtin_cpu_supports("avx2")) return unpack_rows_avx2;
#endif
    return unpack_rows_plain;
}

}  // namespace

void unpack_rows(const std::uint8_t* const* rows, std::size_t num_rows, std::size_t row_bytes,
                 std::uint8_t* out) {
    // Decided once, by the first caller; the processor does not change under a running process.
    static const UnpackRows unpack = pick_unpack();
    unpack(rows, num_rows, row_bytes, out);
}

void unpack_bits(const std::uint8_t* bits, std::size_t num_bytes, std::uint8_t* out) {
    unpack_rows(&bits, 1, num_bytes, out);
}

}  // namespace game
