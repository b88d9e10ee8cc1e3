#pragma once
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>

namespace kelvor {

// Per-token scales in one byte: a scale's base-2 logarithm rounded to a step
// of 1/steps octave, over the 255 steps from a base octave that each array of
// scales places once, from the first scales it codes. Byte 0 is a scale of 0;
// byte b > 0 is 2^(base + (b-1)/steps). Scales past either end of the range
// saturate to it. Rounding compares the significand with fixed thresholds, so
// every machine stores the same byte; widening multiplies a fixed table by
// 2^base, exactly.
struct LogScaleFormat {
    int32_t steps;  // per octave: 16 or 32
    int32_t below;  // octaves of the range below the first scales' typical size
};
// A key's scale multiplies every score of that key, so an error in it moves a
// large score a long way: keys take steps of 1/32 octave (at most 1.1 % off;
// 1/16 cost measurably more accuracy) over 8 octaves, from 2^3 times below the
// typical key's scale to at least 2^4 above. Fitted keys are equalised per
// channel, and in a real decoder's layers their scales stayed within 2^2 of
// the typical one. A value's scale only sets the length of one of many
// vectors averaged: 1/16 octave over 16 octaves, 2^6 below to 2^9 above.
constexpr LogScaleFormat kKeyLogScales{32, 3};
constexpr LogScaleFormat kValueLogScales{16, 6};

constexpr int32_t kLogScaleBaseLeast = -126;  // 2^base stays a normal float
// The largest base that keeps the largest byte finite.
constexpr int32_t log_scale_base_most(LogScaleFormat f) { return 127 - (255 + f.steps - 1) / f.steps; }

// float32 of 2^(j/32), j = 0..31; 1/16-octave steps are every other one, and
// their rounding thresholds the ones between.
constexpr float kLogScaleLevels[32] = {
    0x1.000000p+0f, 0x1.059b0ep+0f, 0x1.0b5586p+0f, 0x1.11301ep+0f, 0x1.172b84p+0f, 0x1.1d4874p+0f, 0x1.2387a6p+0f,
    0x1.29e9e0p+0f, 0x1.306fe0p+0f, 0x1.371a74p+0f, 0x1.3dea64p+0f, 0x1.44e086p+0f, 0x1.4bfdaep+0f, 0x1.5342b6p+0f,
    0x1.5ab07ep+0f, 0x1.6247ecp+0f, 0x1.6a09e6p+0f, 0x1.71f75ep+0f, 0x1.7a1148p+0f, 0x1.82589ap+0f, 0x1.8ace54p+0f,
    0x1.93737cp+0f, 0x1.9c4918p+0f, 0x1.a5503cp+0f, 0x1.ae89fap+0f, 0x1.b7f770p+0f, 0x1.c199bep+0f, 0x1.cb720ep+0f,
    0x1.d5818ep+0f, 0x1.dfc974p+0f, 0x1.ea4afap+0f, 0x1.f50766p+0f};
// float32 of 2^((j+0.5)/32): the thresholds of 1/32-octave steps.
constexpr float kLogScaleHalfSteps[32] = {
    0x1.02c9a4p+0f, 0x1.087452p+0f, 0x1.0e3ec4p+0f, 0x1.1429aap+0f, 0x1.1a35bep+0f, 0x1.2063b8p+0f, 0x1.26b456p+0f,
    0x1.2d285ap+0f, 0x1.33c08cp+0f, 0x1.3a7db4p+0f, 0x1.4160a2p+0f, 0x1.486a2cp+0f, 0x1.4f9b28p+0f, 0x1.56f474p+0f,
    0x1.5e76f2p+0f, 0x1.662388p+0f, 0x1.6dfb24p+0f, 0x1.75feb6p+0f, 0x1.7e2f34p+0f, 0x1.868d9ap+0f, 0x1.8f1aeap+0f,
    0x1.97d82ap+0f, 0x1.a0c668p+0f, 0x1.a9e6b6p+0f, 0x1.b33a2cp+0f, 0x1.bcc1eap+0f, 0x1.c67f12p+0f, 0x1.d072d4p+0f,
    0x1.da9e60p+0f, 0x1.e502eep+0f, 0x1.efa1bep+0f, 0x1.fa7c18p+0f};

// The step nearest log2(s) * steps, for a finite s > 0.
inline int32_t log_scale_step(float s, int32_t steps) {
    int e = 0;
    const float m = 2.0f * std::frexp(s, &e);  // in [1, 2), exactly
    const float* thresholds = steps == 32 ? kLogScaleHalfSteps : kLogScaleLevels + 1;
    const int32_t stride = 32 / steps;
    int32_t j = 0;
    for (int32_t i = 0; i < steps; ++i) j += thresholds[i * stride] <= m;
    return steps * (e - 1) + j;
}

inline uint8_t log_scale_from_float(float s, int32_t base, int32_t steps) {
    if (!(s > 0.0f)) return 0;
    const int32_t b = log_scale_step(s, steps) - steps * base + 1;
    return static_cast<uint8_t>(std::clamp(b, 1, 255));
}

// 2^((b-1)/steps) for every byte, 0 for byte 0.
inline const std::array<float, 256>& log_scale_table(int32_t steps) {
    static const auto make = [](int32_t n) {
        std::array<float, 256> t{};
        for (int32_t b = 1; b < 256; ++b) {
            t[static_cast<size_t>(b)] = std::ldexp(kLogScaleLevels[((b - 1) % n) * (32 / n)], (b - 1) / n);
        }
        return t;
    };
    static const std::array<float, 256> sixteenths = make(16), thirty_seconds = make(32);
    return steps == 32 ? thirty_seconds : sixteenths;
}

inline float float_from_log_scale(uint8_t b, int32_t base, int32_t steps) {
    return log_scale_table(steps)[b] * std::ldexp(1.0f, base);
}

inline void widen_log_scales(const uint8_t* bytes, int32_t n, int32_t base, int32_t steps, float* out) {
    const std::array<float, 256>& table = log_scale_table(steps);
    const float unit = std::ldexp(1.0f, base);
    for (int32_t i = 0; i < n; ++i) out[i] = table[bytes[i]] * unit;
}

// The base for scales whose steps sum to `step_sum` over n > 0 of them: the
// octave of their mean step (both floored), less f.below, within the bases
// that keep every byte a finite normal float. n == 0 gives base 0.
inline int32_t log_scale_base(int64_t step_sum, int64_t n, LogScaleFormat f) {
    if (n <= 0) return 0;
    const auto floor_div = [](int64_t a, int64_t d) { return a >= 0 ? a / d : -((-a + d - 1) / d); };
    const int64_t octave = floor_div(floor_div(step_sum, n), f.steps);
    return static_cast<int32_t>(std::clamp<int64_t>(octave - f.below, kLogScaleBaseLeast, log_scale_base_most(f)));
}

}  // namespace kelvor
