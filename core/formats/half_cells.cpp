#include "core/formats/half_cells.h"

#include <array>
#include <cmath>
#include <limits>

#include "core/formats/packing.h"

namespace kelvor {

void half_cell_levels(const Codebook& codebook, float* out) {
    const int32_t n = 1 << codebook.bits;
    constexpr double inf = std::numeric_limits<double>::infinity();
    constexpr double pi = 3.14159265358979323846;
    const auto pdf = [](double x) { return std::isinf(x) ? 0.0 : std::exp(-0.5 * x * x) / std::sqrt(2.0 * pi); };
    const auto cdf = [](double x) { return 0.5 * std::erfc(-x / std::sqrt(2.0)); };
    // Mean of a unit normal over [a, b): (pdf(a) - pdf(b)) / (cdf(b) - cdf(a)).
    const auto mean = [&](double a, double b) { return (pdf(a) - pdf(b)) / (cdf(b) - cdf(a)); };
    for (int32_t c = 0; c < n; ++c) {
        const double lo = c == 0 ? -inf : codebook.thresholds[c - 1];
        const double hi = c == n - 1 ? inf : codebook.thresholds[c];
        const double level = codebook.levels[c];
        out[2 * c] = static_cast<float>(mean(lo, level));
        out[2 * c + 1] = static_cast<float>(mean(level, hi));
    }
}

namespace {

// Four codes of width Bits (the high or low half of a group's word) as four
// nibbles, each code shifted up by one for its bit.
template <int Bits>
const std::array<uint16_t, 1u << (4 * Bits)>& spread_table() {
    static const auto table = [] {
        std::array<uint16_t, 1u << (4 * Bits)> t{};
        for (uint32_t x = 0; x < t.size(); ++x) {
            uint32_t w = 0;
            for (int k = 0; k < 4; ++k) w |= ((x >> (Bits * (3 - k))) & ((1u << Bits) - 1)) << (4 * (3 - k) + 1);
            t[x] = static_cast<uint16_t>(w);
        }
        return t;
    }();
    return table;
}

// A byte of half-cell bits (coordinate k at bit 7 - k) at the low bit of eight nibbles.
const std::array<uint32_t, 256>& bit_table() {
    static const auto table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t h = 0; h < 256; ++h) {
            uint32_t w = 0;
            for (int k = 0; k < 8; ++k) w |= ((h >> (7 - k)) & 1u) << (4 * (7 - k));
            t[h] = w;
        }
        return t;
    }();
    return table;
}

template <int Bits>
void interleave_bits(const uint8_t* stream, const uint8_t* half, int32_t P, uint8_t* out) {
    const auto& spread = spread_table<Bits>();
    const auto& bits = bit_table();
    const int32_t groups = P / 8;
    for (int32_t g = 0; g < groups; ++g) {
        const uint32_t w = load_group_word<Bits>(stream + g * Bits, 8);
        const uint32_t wide = uint32_t{spread[w >> (4 * Bits)]} << 16 | spread[w & ((1u << (4 * Bits)) - 1)] |
                              bits[half[g]];
        for (int b = 0; b < 4; ++b) out[g * 4 + b] = static_cast<uint8_t>(wide >> (8 * (3 - b)));
    }
    // A partial group: through single codes, as pack_codes zero-fills it.
    const int32_t rest = P - 8 * groups;
    if (rest == 0) return;
    uint8_t codes[8];
    const uint32_t w = load_group_word<Bits>(stream + groups * Bits, rest);
    for (int32_t k = 0; k < rest; ++k) {
        codes[k] = static_cast<uint8_t>(group_code<Bits>(w, k) << 1 | (half[groups] >> (7 - k) & 1));
    }
    pack_codes(codes, rest, 4, out + 4 * groups);
}

}  // namespace

void interleave_half_bits(const uint8_t* stream, const uint8_t* half, int32_t P, int32_t bits, uint8_t* out) {
    if (bits == 2) return interleave_bits<2>(stream, half, P, out);
    if (bits == 3) return interleave_bits<3>(stream, half, P, out);
    unknown_code_width(bits + 1);
}

}  // namespace kelvor
