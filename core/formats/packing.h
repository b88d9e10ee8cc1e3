#pragma once
#include <cassert>
#include <cstdint>
#include <type_traits>

#include "core/formats/code_widths.h"

namespace kelvor {

// A code stream is the codes of one vector written most significant bits first:
// at 2 bits byte k holds codes 4k..4k+3 in bits 7-6, 5-4, 3-2, 1-0; at 3 bits
// every 3 bytes form a big-endian 24-bit word of 8 codes; at 4 bits the high
// nibble comes first. Every width therefore reads as groups of 8 codes in
// `Bits` bytes, which is the unit the kernels decode.
//
// Streams hold exactly n codes in (bits*n + 7)/8 bytes; a trailing partial
// group (only when n < 8) is zero-filled, and the kernels decode exactly n
// coordinates, never touching x or acc past n.

template <int Bits>
struct CodeLayout {
    static_assert(is_code_width(Bits), "a width of the list in code_widths.h");
    static constexpr uint32_t mask = (1u << Bits) - 1;
    static constexpr int group_codes = 8;
    static constexpr int group_bytes = Bits;
    // Codes per partial sum in the dot product: one byte at 2 bits, one group
    // at 3 and 4. Every level sums in this order, so a new width chooses its own.
    static constexpr int codes_per_sum = Bits == 2 ? 4 : Bits == 3 || Bits == 4 ? 8 : 0;
    static_assert(codes_per_sum > 0, "no order of partial sums for this code width: add it to CodeLayout");
};

// Big-endian word of the group starting at p, of which `codes` codes are
// present; missing trailing bytes read as zero and are never touched.
template <int Bits>
inline uint32_t load_group_word(const uint8_t* p, int32_t codes) {
    const int32_t bytes = codes >= 8 ? Bits : (Bits * codes + 7) / 8;
    uint32_t w = 0;
    for (int32_t b = 0; b < Bits; ++b) w = (w << 8) | (b < bytes ? p[b] : 0u);
    return w;
}

template <int Bits>
inline uint32_t group_code(uint32_t word, int32_t k) {
    return (word >> (Bits * (7 - k))) & CodeLayout<Bits>::mask;
}

// The word of a group: its 8 codes (one per byte, high bits ignored), code 0
// most significant, Bits each. Merged pairwise in three steps on one 64-bit
// word (neighbours, then pairs, then quads) rather than code by code.
template <int Bits>
inline uint64_t group_word(const uint8_t* c) {
    uint64_t x;
    __builtin_memcpy(&x, c, 8);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    x = __builtin_bswap64(x);
#endif
    // The low n bits of a 64-bit word, for any width up to 8 bits.
    constexpr auto low = [](int n) { return ~uint64_t{0} >> (64 - n); };
    x &= 0x0101010101010101ull * CodeLayout<Bits>::mask;  // code k at bit 8k
    x = ((x << Bits) | (x >> 8)) & 0x0001000100010001ull * low(2 * Bits);
    x = ((x << (2 * Bits)) | (x >> 16)) & 0x0000000100000001ull * low(4 * Bits);
    return ((x << (4 * Bits)) | (x >> 32)) & low(8 * Bits);
}

template <int Bits>
void pack_codes_bits(const uint8_t* codes, int32_t n, uint8_t* out) {
    using L = CodeLayout<Bits>;
    // Whole groups: 8 codes make one big-endian word of Bits bytes.
    const int32_t groups = n / L::group_codes;
    for (int32_t g = 0; g < groups; ++g) {
        const uint64_t w = group_word<Bits>(codes + g * L::group_codes);
        for (int b = 0; b < Bits; ++b) out[g * Bits + b] = static_cast<uint8_t>(w >> (8 * (Bits - 1 - b)));
    }
    // A partial group, zero-filled to its last byte.
    uint32_t acc = 0;
    int32_t pending = 0;
    int32_t o = groups * Bits;
    for (int32_t i = groups * L::group_codes; i < n; ++i) {
        acc = (acc << Bits) | (codes[i] & L::mask);
        pending += Bits;
        if (pending >= 8) {
            pending -= 8;
            out[o++] = static_cast<uint8_t>(acc >> pending);
        }
    }
    if (pending > 0) out[o] = static_cast<uint8_t>(acc << (8 - pending));
}

// Sum of levels[code_j] * x[j] over j < n. Partial sums follow the layout's
// unit (a byte at 2 bits, a group of 8 otherwise) so that every SIMD level can
// be compared against one fixed order of additions.
template <int Bits>
float dot_packed_bits(const float* x, const uint8_t* stream, const float* levels, int32_t n) {
    using L = CodeLayout<Bits>;
    float total = 0.0f;
    for (int32_t base = 0; base < n; base += L::group_codes) {
        const int32_t m = n - base < L::group_codes ? n - base : L::group_codes;
        const uint32_t w = load_group_word<Bits>(stream + base / L::group_codes * L::group_bytes, m);
        for (int32_t s = 0; s < m; s += L::codes_per_sum) {
            const int32_t end = s + L::codes_per_sum < m ? s + L::codes_per_sum : m;
            float partial = 0.0f;
            for (int32_t k = s; k < end; ++k) partial += levels[group_code<Bits>(w, k)] * x[base + k];
            total += partial;
        }
    }
    return total;
}

// acc[j] += levels[code_j] for j < n.
template <int Bits>
void accumulate_packed_bits(float* acc, const uint8_t* stream, const float* levels, int32_t n) {
    using L = CodeLayout<Bits>;
    for (int32_t base = 0; base < n; base += L::group_codes) {
        const int32_t m = n - base < L::group_codes ? n - base : L::group_codes;
        const uint32_t w = load_group_word<Bits>(stream + base / L::group_codes * L::group_bytes, m);
        for (int32_t k = 0; k < m; ++k) acc[base + k] = levels[group_code<Bits>(w, k)] + acc[base + k];
    }
}

// Width-dispatched entry points; bits is one of kCodeWidths (others trap).
void pack_codes(const uint8_t* codes, int32_t n, int32_t bits, uint8_t* out);
float dot_packed(const float* x, const uint8_t* stream, const float* levels, int32_t n, int32_t bits);
void accumulate_packed(float* acc, const uint8_t* stream, const float* levels, int32_t n, int32_t bits);

}  // namespace kelvor
