// Helpers shared by the C++ tests: the kernel levels to run, seeded random
// data, heads filled with tokens, guard values around outputs, and references
// computed in double precision from tables written out here, so that they share
// nothing with the library's own arithmetic.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/encoder.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"

namespace kelvor::test {

inline size_t sz(int64_t n) { return static_cast<size_t>(n); }

inline constexpr double kUnitRoundoff = 0x1p-24;  // float32

// Every compiled-in level this machine runs, scalar (always there) first.
inline std::vector<const KernelTable*> available_tables(bool with_scalar = true) {
    std::vector<const KernelTable*> tables;
    for (SimdLevel level : simd_levels()) {
        if (level == SimdLevel::scalar && !with_scalar) continue;
        if (const KernelTable* t = kernels_for(level)) tables.push_back(t);
    }
    return tables;
}

// The same with every variant of each level (the AVX-512 level's two 3-bit decoders).
inline std::vector<const KernelTable*> available_variants(bool with_scalar = true) {
    std::vector<const KernelTable*> tables;
    for (SimdLevel level : simd_levels()) {
        if (level == SimdLevel::scalar && !with_scalar) continue;
        for (const KernelTable* t : level_variants(level)) tables.push_back(t);
    }
    return tables;
}

// ---- bit patterns ---------------------------------------------------------------

inline uint32_t bits_of(float f) {
    uint32_t u;
    std::memcpy(&u, &f, sizeof u);
    return u;
}

inline float from_bits(uint32_t b) {
    float f;
    std::memcpy(&f, &b, sizeof f);
    return f;
}

// Compared as patterns, -0.0 differs from 0.0 and NaN equals itself.
template <class FloatRange>
std::vector<uint32_t> bit_patterns(const FloatRange& x) {
    std::vector<uint32_t> p;
    for (float f : x) p.push_back(bits_of(f));
    return p;
}

// ---- guard values ---------------------------------------------------------------

// Buffers are filled with these past (and around) the area a call may write, so
// a stray write shows. No computation in these tests produces either value.
inline constexpr float kGuard = -7777.25f;
inline constexpr uint8_t kGuardByte = 0xA5;

template <class T>
testing::AssertionResult guards_from(const std::vector<T>& v, size_t from, T guard) {
    for (size_t i = from; i < v.size(); ++i) {
        if (!(v[i] == guard)) {
            return testing::AssertionFailure() << "element " << i << " past " << from << " was written";
        }
    }
    return testing::AssertionSuccess();
}

// v[from], v[from + 1], ... still hold the guard.
inline testing::AssertionResult guards_from(const std::vector<float>& v, size_t from = 0) {
    return guards_from(v, from, kGuard);
}
inline testing::AssertionResult guards_from(const std::vector<uint8_t>& v, size_t from = 0) {
    return guards_from(v, from, kGuardByte);
}

// ---- random data ----------------------------------------------------------------

inline std::vector<float> random_vector(size_t n, uint32_t seed, float sd = 1.0f, float mean = 0.0f) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(mean, sd);
    std::vector<float> v(n);
    for (float& x : v) x = g(rng);
    return v;
}

// Draws from a generator the caller keeps, for a series of vectors.
inline std::vector<float> gaussian(std::mt19937& rng, int32_t n, float sd = 1.0f) {
    std::normal_distribution<float> d(0.0f, sd);
    std::vector<float> x(sz(n));
    for (float& v : x) v = d(rng);
    return x;
}

inline std::vector<int8_t> signs_for(uint64_t seed, int32_t n) {
    std::vector<int8_t> s(sz(n));
    make_sign_diagonal(s.data(), n, seed);
    return s;
}

// ---- heads and tokens -------------------------------------------------------------

// n tokens of head_dim floats each, keys and values in separate arrays.
struct Tokens {
    int32_t hd = 0;
    std::vector<float> keys, vals;
    const float* key(size_t t) const { return keys.data() + t * sz(hd); }
    const float* val(size_t t) const { return vals.data() + t * sz(hd); }
    float* key(size_t t) { return keys.data() + t * sz(hd); }
    float* val(size_t t) { return vals.data() + t * sz(hd); }
};

// Keys N(0, 1), values N(val_mean, 1); a nonzero val_mean keeps attention
// outputs away from pure cancellation, where relative errors say little. The
// values follow the keys in one stream of draws, or come from a stream of their
// own when val_seed is given.
inline Tokens random_tokens(int32_t hd, size_t n, uint32_t seed, float val_mean = 0.0f,
                            std::optional<uint32_t> val_seed = std::nullopt) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    Tokens tok;
    tok.hd = hd;
    tok.keys.resize(n * sz(hd));
    tok.vals.resize(n * sz(hd));
    for (float& x : tok.keys) x = g(rng);
    std::mt19937 own_rng(val_seed.value_or(0));
    std::normal_distribution<float> own_g(0.0f, 1.0f);
    for (float& x : tok.vals) x = val_mean + (val_seed ? own_g(own_rng) : g(rng));
    return tok;
}

inline HeadCache make_head(int32_t hd, int32_t bits, int32_t capacity, uint64_t seed = 7,
                           Encoding encoding = Encoding::clip3) {
    HeadCache head;
    head_cache_init(head, hd, bits, capacity, seed, 0.95f, encoding);
    head_cache_make_ring(head);  // as the first append would, so tests can read the ring from the start
    return head;
}

// Tokens [begin, end), each at its own index as position.
inline void append_range(const KernelTable& kt, HeadCache& head, const Tokens& tok, size_t begin, size_t end) {
    for (size_t t = begin; t < end; ++t) head_append(kt, head, tok.key(t), tok.val(t), static_cast<int32_t>(t));
}

// What the encoder stores for one vector of a head.
struct EncodedStream {
    std::vector<uint8_t> stream;
    float scale;
};

inline EncodedStream encode_stream(const KernelTable& kt, const HeadCache& head, const float* x) {
    EncodedStream e;
    e.stream.assign(sz(head.store.bytes_per_vec), 0);
    e.scale = encode_and_pack(kt, head, x, head.store.bits, e.stream.data());
    return e;
}

// ---- the codebooks, written out ---------------------------------------------------

// Typed in here rather than taken from the library's tables, so the references
// share nothing with them; each entry is the float32 nearest to the decimal.
inline const std::vector<float> kLevels2 = {-1.5104f, -0.4528f, 0.4528f, 1.5104f};
inline const std::vector<float> kLevels3 = {-2.1529f, -1.3439f, -0.756f, -0.2451f, 0.2451f, 0.756f, 1.3439f, 2.1529f};
inline const std::vector<float> kLevels4 = {-2.7326f, -2.069f, -1.586f, -1.188f, -0.8491f, -0.548f, -0.2633f, 0.0f,
                                            0.2633f,  0.548f,  0.8491f, 1.188f,  1.586f,   2.069f,  2.7326f,  3.5714f};
// The fitted encoding's 4-bit table: the 16-level Lloyd-Max quantiser of a unit normal.
inline const std::vector<float> kLevels4Fitted = {-2.73259f, -2.06902f, -1.61805f, -1.25623f, -0.94234f, -0.65676f,
                                                  -0.38805f, -0.1284f,   0.1284f,   0.38805f,  0.65676f,  0.94234f,
                                                  1.25623f,  1.61805f,  2.06902f,  2.73259f};
inline const std::vector<float> kThresholds2 = {-0.98160005f, 0.0f, 0.98160005f};
inline const std::vector<float> kThresholds3 = {-1.7484f, -1.04995f, -0.50055f, 0.0f, 0.50055f, 1.04995f, 1.7484f};
inline const std::vector<float> kThresholds4 = {-2.4008f,   -1.8275f, -1.387f,  -1.0185499f, -0.69855f,
                                                -0.40565f,  -0.13165f, 0.13165f, 0.40565f,   0.69855f,
                                                1.0185499f, 1.387f,    1.8275f,  2.4008f,    3.152f};

inline const std::vector<float>& levels_listed(int bits, Encoding encoding = Encoding::clip3) {
    return bits == 2 ? kLevels2 : bits == 3 ? kLevels3 : encoding == Encoding::fitted ? kLevels4Fitted : kLevels4;
}
inline const std::vector<float>& thresholds_listed(int bits) {
    return bits == 2 ? kThresholds2 : bits == 3 ? kThresholds3 : kThresholds4;
}

inline double level_ref(int bits, unsigned code, Encoding encoding = Encoding::clip3) {
    return static_cast<double>(levels_listed(bits, encoding)[code]);
}

// Cell of v: the number of thresholds at or below it.
inline int cells_at_or_below(float v, int bits) {
    int q = 0;
    for (float t : thresholds_listed(bits)) q += v >= t ? 1 : 0;
    return q;
}

// Code j of a stream read as one most-significant-bit-first bit string, which
// is what all three widths' layouts amount to.
inline unsigned code_at(const uint8_t* stream, int32_t bits, int32_t j) {
    unsigned c = 0;
    for (int32_t b = 0; b < bits; ++b) {
        const int32_t bit = bits * j + b;
        c = (c << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return c;
}

// ---- double-precision references --------------------------------------------------

// Sylvester-Hadamard in natural order, straight from the definition.
inline std::vector<double> hadamard_sum(const std::vector<double>& x) {
    const size_t n = x.size();
    std::vector<double> y(n, 0.0);
    for (size_t i = 0; i < n; ++i) {
        for (size_t j = 0; j < n; ++j) y[i] += (__builtin_popcountll(i & j) % 2 ? -1.0 : 1.0) * x[j];
    }
    return y;
}

// The vector a stored stream stands for: level[code] * scale / sqrt(P) per
// rotated coordinate, rotated back with diag(signs) * H / sqrt(P) in double.
// (For a fitted head that is the key as centred and divided, or the centred value.)
inline std::vector<double> decode(const HeadCache& head, const uint8_t* stream, float scale) {
    const int32_t P = head.rotation.P;
    const int32_t bits = head.store.bits;
    std::vector<double> r(sz(P));
    for (int32_t j = 0; j < P; ++j) {
        r[sz(j)] = level_ref(bits, code_at(stream, bits, j), head.encoding) * double(scale) / std::sqrt(double(P));
    }
    const std::vector<double> h = hadamard_sum(r);
    std::vector<double> x(sz(head.head_dim));
    for (int32_t i = 0; i < head.head_dim; ++i) {
        x[sz(i)] = head.rotation.signs[sz(i)] * h[sz(i)] / std::sqrt(double(P));
    }
    return x;
}

struct Ref {
    std::vector<double> out;
    double scale = 0.0;  // sum of w_t * max|v_t|: the size float32 rounding is measured against
};

// Softmax attention of q over the given keys and values, all in double.
inline Ref attention_ref(const std::vector<std::vector<double>>& keys, const std::vector<std::vector<double>>& vals,
                         const float* q) {
    const size_t T = keys.size();
    const size_t hd = keys[0].size();
    std::vector<double> s(T);
    double m = -std::numeric_limits<double>::infinity();
    for (size_t t = 0; t < T; ++t) {
        double d = 0.0;
        for (size_t i = 0; i < hd; ++i) d += double(q[i]) * keys[t][i];
        s[t] = d / std::sqrt(double(hd));
        m = std::max(m, s[t]);
    }
    double sum = 0.0;
    for (double& x : s) sum += (x = std::exp(x - m));
    Ref ref;
    ref.out.assign(hd, 0.0);
    for (size_t t = 0; t < T; ++t) {
        const double w = s[t] / sum;
        double vmax = 0.0;
        for (size_t j = 0; j < hd; ++j) {
            ref.out[j] += w * vals[t][j];
            vmax = std::max(vmax, std::fabs(vals[t][j]));
        }
        ref.scale += w * vmax;
    }
    return ref;
}

// Largest coordinate error relative to the reference's scale.
inline double rel_err(const float* out, const Ref& ref) {
    double e = 0.0;
    for (size_t j = 0; j < ref.out.size(); ++j) {
        if (!std::isfinite(out[j])) return std::numeric_limits<double>::infinity();
        e = std::max(e, std::fabs(double(out[j]) - ref.out[j]));
    }
    return e / ref.scale;
}

// Two references apart, the first rounded to float32 like an answer.
inline double rel_err(const Ref& a, const Ref& b) {
    const std::vector<float> f(a.out.begin(), a.out.end());
    return rel_err(f.data(), b);
}

// A head's answer against attention_ref over the same data (the exact path's raw
// floats, or the very codes and scales the quantized path reads): only float32
// rounding separates them, a few units of 2^-24 (6e-8) per score term and per
// value sum, which moves the output by a small multiple of that relative to
// sum(w * |v|). Measured worst cases over all levels are about 4e-7; the bound
// is ten times that, far below any error from a wrong token, weight or coordinate.
inline constexpr double kTol = 4e-6;

// What op refuses: a std::out_of_range's message after "IndexError: " (as
// Python sees it), a std::invalid_argument's message, or "" when op runs.
template <class Op>
std::string refusal(Op&& op) {
    try {
        op();
    } catch (const std::out_of_range& e) {
        return std::string("IndexError: ") + e.what();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

}  // namespace kelvor::test
