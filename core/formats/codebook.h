#pragma once
#include <array>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/formats/code_widths.h"

namespace kelvor {

// Reconstruction levels of the fixed scalar codebooks. The 2- and 3-bit tables
// are close to the Lloyd-Max levels of a unit normal; the 4-bit table is
// deliberately asymmetric (an exact 0 at code 7, one extra positive level).
inline constexpr std::array<float, 4> levels_2bit = {-1.5104f, -0.4528f, 0.4528f, 1.5104f};
inline constexpr std::array<float, 8> levels_3bit = {-2.1529f, -1.3439f, -0.756f, -0.2451f,
                                                     0.2451f,  0.756f,   1.3439f, 2.1529f};
inline constexpr std::array<float, 16> levels_4bit = {
    -2.7326f, -2.069f, -1.586f, -1.188f, -0.8491f, -0.548f, -0.2633f, 0.0f,
    0.2633f,  0.548f,  0.8491f, 1.188f,  1.586f,   2.069f,  2.7326f,  3.5714f};

// Decision thresholds are the float32 midpoints of neighbouring levels, derived
// here so they can never drift from the levels.
template <std::size_t N>
constexpr std::array<float, N - 1> midpoints(const std::array<float, N>& levels) {
    std::array<float, N - 1> t{};
    for (std::size_t i = 0; i + 1 < N; ++i) t[i] = (levels[i] + levels[i + 1]) / 2.0f;
    return t;
}

inline constexpr std::array<float, 3> thresholds_2bit = midpoints(levels_2bit);
inline constexpr std::array<float, 7> thresholds_3bit = midpoints(levels_3bit);
inline constexpr std::array<float, 15> thresholds_4bit = midpoints(levels_4bit);

// A width of the list without tables here fails to build.
template <int Bits>
constexpr const float* levels_of() {
    static_assert(Bits != Bits, "no fixed levels for this code width: add its table to codebook.h");
    return nullptr;
}
template <> constexpr const float* levels_of<2>() { return levels_2bit.data(); }
template <> constexpr const float* levels_of<3>() { return levels_3bit.data(); }
template <> constexpr const float* levels_of<4>() { return levels_4bit.data(); }

template <int Bits>
constexpr const float* thresholds_of() {
    static_assert(Bits != Bits, "no thresholds for this code width: add its table to codebook.h");
    return nullptr;
}
template <> constexpr const float* thresholds_of<2>() { return thresholds_2bit.data(); }
template <> constexpr const float* thresholds_of<3>() { return thresholds_3bit.data(); }
template <> constexpr const float* thresholds_of<4>() { return thresholds_4bit.data(); }

inline const float* levels_for_bits(int32_t bits) {
    return with_bits(bits, [](auto b) { return levels_of<decltype(b)::value>(); });
}

// The tables one head codes with: 2^bits ascending levels and the 2^bits - 1
// midpoints between them. The kernels take the tables from here rather than
// from the width alone, so a codec may bring codebooks of its own.
struct Codebook {
    int32_t bits;
    const float* levels;
    const float* thresholds;
};

template <int Bits>
constexpr Codebook default_codebook_of() {
    return Codebook{Bits, levels_of<Bits>(), thresholds_of<Bits>()};
}

inline Codebook default_codebook(int32_t bits) {
    return with_bits(bits, [](auto b) { return default_codebook_of<decltype(b)::value>(); });
}

// Bisection with >= comparisons over ascending thresholds t: a value equal to
// a threshold takes the upper cell, and NaN (every comparison false) takes code 0.
template <int Bits>
inline uint8_t quantize_code_bits(float v, const float* t) {
    constexpr int half = 1 << (Bits - 1);
    int q = v >= t[half - 1] ? half : 0;
    for (int step = half / 2; step >= 1; step /= 2) {
        if (v >= t[q + step - 1]) q += step;
    }
    return static_cast<uint8_t>(q);
}

template <int Bits>
inline uint8_t quantize_code_bits(float v) {
    return quantize_code_bits<Bits>(v, thresholds_of<Bits>());
}

inline uint8_t quantize_code(float v, int32_t bits) {
    return with_bits(bits, [v](auto b) { return quantize_code_bits<decltype(b)::value>(v); });
}

}  // namespace kelvor
