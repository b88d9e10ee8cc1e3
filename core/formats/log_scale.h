#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace kelvor {

// Per-token scales in one byte: a scale's base-2 logarithm rounded to a
// sixteenth of an octave, over the 16 octaves from a base octave that each
// array of scales fixes once (from the first scales it codes). A key scale off
// by a step moves every score of that key by at most 2.2 %; coarser steps cost
// measurably more. Byte 0 is a scale of 0; byte b > 0 is 2^(base + (b-1)/16).
// Scales past either end of the range saturate to it: the range is placed so
// that only scales 2^6 times below or 2^9 times above the first ones' typical
// size reach it, and a small one kept larger costs less than its codes' error.
// Rounding compares the significand with fixed thresholds, so every machine
// stores the same byte; widening multiplies a fixed table by 2^base, exactly.
constexpr int32_t kLogScaleSteps = 16;            // per octave
constexpr int32_t kLogScaleBelow = 6;              // octaves of the range below the typical scale
constexpr int32_t kLogScaleBaseLeast = -126;       // 2^base stays a normal float
constexpr int32_t kLogScaleBaseMost = 127 - 16;    // the largest byte stays finite

// float32 of 2^(j/16), and the rounding thresholds 2^((j+0.5)/16), j = 0..15.
constexpr float kLogScaleLevels[kLogScaleSteps] = {
    0x1.000000p+0f, 0x1.0b5586p+0f, 0x1.172b84p+0f, 0x1.2387a6p+0f, 0x1.306fe0p+0f, 0x1.3dea64p+0f,
    0x1.4bfdaep+0f, 0x1.5ab07ep+0f, 0x1.6a09e6p+0f, 0x1.7a1148p+0f, 0x1.8ace54p+0f, 0x1.9c4918p+0f,
    0x1.ae89fap+0f, 0x1.c199bep+0f, 0x1.d5818ep+0f, 0x1.ea4afap+0f};
constexpr float kLogScaleThresholds[kLogScaleSteps] = {
    0x1.059b0ep+0f, 0x1.11301ep+0f, 0x1.1d4874p+0f, 0x1.29e9e0p+0f, 0x1.371a74p+0f, 0x1.44e086p+0f,
    0x1.5342b6p+0f, 0x1.6247ecp+0f, 0x1.71f75ep+0f, 0x1.82589ap+0f, 0x1.93737cp+0f, 0x1.a5503cp+0f,
    0x1.b7f770p+0f, 0x1.cb720ep+0f, 0x1.dfc974p+0f, 0x1.f50766p+0f};

// The step nearest log2(s) * 16, for a finite s > 0.
inline int32_t log_scale_step(float s) {
    int e = 0;
    const float m = 2.0f * std::frexp(s, &e);  // in [1, 2), exactly
    const auto j = static_cast<int32_t>(
        std::upper_bound(kLogScaleThresholds, kLogScaleThresholds + kLogScaleSteps, m) - kLogScaleThresholds);
    return kLogScaleSteps * (e - 1) + j;
}

inline uint8_t log_scale_from_float(float s, int32_t base) {
    if (!(s > 0.0f)) return 0;
    const int32_t b = log_scale_step(s) - kLogScaleSteps * base + 1;
    return static_cast<uint8_t>(std::clamp(b, 1, 255));
}

// 2^((b-1)/16) for every byte, 0 for byte 0.
inline const std::array<float, 256>& log_scale_table() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int32_t b = 1; b < 256; ++b) {
            t[static_cast<size_t>(b)] = std::ldexp(kLogScaleLevels[(b - 1) % kLogScaleSteps], (b - 1) / kLogScaleSteps);
        }
        return t;
    }();
    return table;
}

inline float float_from_log_scale(uint8_t b, int32_t base) {
    return log_scale_table()[b] * std::ldexp(1.0f, base);
}

inline void widen_log_scales(const uint8_t* bytes, int32_t n, int32_t base, float* out) {
    const std::array<float, 256>& table = log_scale_table();
    const float unit = std::ldexp(1.0f, base);
    for (int32_t i = 0; i < n; ++i) out[i] = table[bytes[i]] * unit;
}

// The base for scales whose steps sum to `step_sum` over n > 0 of them: the
// octave of their mean step, less kLogScaleBelow, within the range that keeps
// every byte a finite normal float. n == 0 gives base 0.
inline int32_t log_scale_base(int64_t step_sum, int64_t n) {
    if (n <= 0) return 0;
    const int64_t mean = step_sum >= 0 ? step_sum / n : -((-step_sum + n - 1) / n);  // floored
    const int64_t octave = mean >= 0 ? mean / kLogScaleSteps : -((-mean + kLogScaleSteps - 1) / kLogScaleSteps);
    return static_cast<int32_t>(std::clamp<int64_t>(octave - kLogScaleBelow, kLogScaleBaseLeast, kLogScaleBaseMost));
}

}  // namespace kelvor
