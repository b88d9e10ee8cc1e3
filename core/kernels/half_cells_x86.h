// Half-cell widening on x86 (contract in simd_kernels.h: V::widen_half_cells),
// in AVX2 instructions, which both x86 levels have. A block is 32 output bytes,
// one AVX2 register; wider registers would only add cross-lane shuffles.
// Included only by the x86 level files, under the same linkage rules as
// simd_kernels.h.
#pragma once

#include <immintrin.h>

#include <cstdint>
#include <cstring>

namespace kelvor {
namespace {

// The half bits of 64 coordinates (8 bytes) at bit 4 and bit 0 of their
// nibbles: out byte j takes the pair at bits 7 - 2(j % 4) and 6 - 2(j % 4) of
// half byte j / 4.
inline __m256i x86_half_bit_nibbles(const uint8_t* half) {
    long long h;
    std::memcpy(&h, half, 8);
    const __m256i owner = _mm256_setr_epi8(0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 3, 3, 3, 3,  //
                                           4, 4, 4, 4, 5, 5, 5, 5, 6, 6, 6, 6, 7, 7, 7, 7);
    const __m256i pairs =
        _mm256_and_si256(_mm256_shuffle_epi8(_mm256_set1_epi64x(h), owner), _mm256_set1_epi32(0x030C30C0));
    // A nibble holds at most one pair, at bits 3-2 or 1-0: its higher bit goes
    // to bit 4, its lower to bit 0.
    const __m256i place = _mm256_setr_epi8(0, 1, 16, 17, 1, 1, 17, 17, 16, 17, 16, 17, 17, 17, 17, 17,  //
                                           0, 1, 16, 17, 1, 1, 17, 17, 16, 17, 16, 17, 17, 17, 17, 17);
    const __m256i low = _mm256_set1_epi8(0x0F);
    return _mm256_or_si256(_mm256_shuffle_epi8(place, _mm256_and_si256(pairs, low)),
                           _mm256_shuffle_epi8(place, _mm256_and_si256(_mm256_srli_epi16(pairs, 4), low)));
}

// 64 codes of width Bits and their half bits as 32 bytes of nibbles 2c + b.
template <int Bits>
void x86_widen_half_cells(const uint8_t* stream, const uint8_t* half, uint8_t* out) {
    __m256i codes;
    if constexpr (Bits == 2) {
        // A stream byte holds four codes: its high nibble becomes out byte 2i,
        // its low nibble out byte 2i + 1, each pair of codes spread to nibbles.
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stream));
        const __m128i spread = _mm_setr_epi8(0, 2, 4, 6, 32, 34, 36, 38, 64, 66, 68, 70, 96, 98, 100, 102);
        const __m128i nibble = _mm_set1_epi8(0x0F);
        const __m128i a = _mm_shuffle_epi8(spread, _mm_and_si128(_mm_srli_epi16(in, 4), nibble));
        const __m128i b = _mm_shuffle_epi8(spread, _mm_and_si128(in, nibble));
        codes = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi8(a, b)), _mm_unpackhi_epi8(a, b), 1);
    } else {
        static_assert(Bits == 3, "half cells widen 2- and 3-bit codes");
        // Groups 0-3 from the block's first 16 bytes, groups 4-7 from its last
        // 16 (bytes 8-23), so nothing past the block is read.
        const __m128i first = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stream));
        const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(stream + 8));
        const __m256i groups = _mm256_setr_epi8(2, 1, 0, -128, 5, 4, 3, -128, 8, 7, 6, -128, 11, 10, 9, -128,  //
                                                6, 5, 4, -128, 9, 8, 7, -128, 12, 11, 10, -128, 15, 14, 13, -128);
        // Each dword the group's 24-bit big-endian word, code j at 21 - 3j.
        const __m256i w = _mm256_shuffle_epi8(
            _mm256_inserti128_si256(_mm256_castsi128_si256(first), last, 1), groups);
        // Byte m of the dword takes codes 2m and 2m + 1 (a 6-bit field) ...
        const __m256i fields = _mm256_or_si256(
            _mm256_or_si256(_mm256_and_si256(_mm256_srli_epi32(w, 18), _mm256_set1_epi32(0x3F)),
                            _mm256_and_si256(_mm256_srli_epi32(w, 4), _mm256_set1_epi32(0x3F00))),
            _mm256_or_si256(_mm256_and_si256(_mm256_slli_epi32(w, 10), _mm256_set1_epi32(0x3F0000)),
                            _mm256_and_si256(_mm256_slli_epi32(w, 24), _mm256_set1_epi32(0x3F000000))));
        // ... each code then moved up into its nibble, above its bit.
        codes = _mm256_or_si256(_mm256_slli_epi32(_mm256_and_si256(fields, _mm256_set1_epi8(0x38)), 2),
                                _mm256_slli_epi32(_mm256_and_si256(fields, _mm256_set1_epi8(0x07)), 1));
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_or_si256(codes, x86_half_bit_nibbles(half)));
}

}  // namespace
}  // namespace kelvor
