#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <vector>

#include "core/codecs/encoder.h"
#include "core/formats/codebook.h"
#include "core/formats/packing.h"
#include "core/formats/rotation.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "core/support/limits.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

struct Encoded {
    std::vector<int> codes;
    float scale;
};

// encode_vector into a buffer with room past P that must stay untouched.
Encoded encode(const KernelTable& kt, const std::vector<float>& x, int32_t P, const std::vector<int8_t>& signs,
               int bits) {
    std::vector<uint8_t> codes(static_cast<size_t>(P) + 8, kGuardByte);
    const float scale =
        encode_vector(kt, x.data(), static_cast<int32_t>(x.size()), P, signs.data(), bits, codes.data());
    EXPECT_TRUE(guards_from(codes, sz(P))) << "code written past P";
    return {std::vector<int>(codes.begin(), codes.begin() + P), scale};
}

struct Model {
    std::vector<int> codes;
    std::vector<float> y;  // clamped, rescaled coordinates
    float scale;
};

// The encoder's arithmetic step by step in float32, rotation included.
Model model_encode(const std::vector<float>& x, int32_t P, const std::vector<int8_t>& signs, int bits) {
    const int32_t hd = static_cast<int32_t>(x.size());
    std::vector<float> b(static_cast<size_t>(P), 0.0f);
    float ss = 0.0f;
    for (int32_t i = 0; i < hd; ++i) {
        b[i] = x[i];
        ss = ss + x[i] * x[i];
    }
    const float norm = std::sqrt(ss + 1e-12f);
    const float inv_norm = 1.0f / norm;
    for (int32_t i = 0; i < P; ++i) b[i] = b[i] * inv_norm;

    if (P == 1) {
        b[0] = static_cast<float>(signs[0]) * b[0];
    } else {
        for (int32_t i = 0; i < P / 2; ++i) {
            const float a = static_cast<float>(signs[2 * i]) * b[2 * i];
            const float c = static_cast<float>(signs[2 * i + 1]) * b[2 * i + 1];
            b[2 * i] = a + c;
            b[2 * i + 1] = a - c;
        }
    }
    for (int32_t h = 2; h < P; h *= 2) {
        for (int32_t j = 0; j < P; j += 2 * h) {
            for (int32_t k = j; k < j + h; ++k) {
                const float u = b[k], v = b[k + h];
                b[k] = u + v;
                b[k + h] = u - v;
            }
        }
    }
    const float s = 1.0f / std::sqrt(static_cast<float>(P));
    for (float& v : b) v = s * v;

    const float sp = std::sqrt(static_cast<float>(P));
    float ss2 = 0.0f;
    for (int32_t i = 0; i < P; ++i) ss2 = ss2 + (sp * b[i]) * (sp * b[i]);
    const float rms = std::sqrt(ss2 / static_cast<float>(P) + 1e-12f);
    const float clip = rms * 3.0f;
    const float inv = 1.0f / (clip + 1e-12f);

    Model m;
    for (int32_t i = 0; i < P; ++i) {
        float v = sp * b[i];
        if (v > clip) v = clip;
        if (v < -clip) v = -clip;
        const float y = v * inv;
        m.y.push_back(y);
        m.codes.push_back(cells_at_or_below(y, bits));
    }
    m.scale = clip * norm;
    return m;
}

std::vector<float> unit(int32_t n, int32_t k, float value = 1.0f) {
    std::vector<float> x(static_cast<size_t>(n), 0.0f);
    x[k] = value;
    return x;
}

std::vector<uint8_t> packed(const std::vector<int>& codes, int bits) {
    const std::vector<uint8_t> c(codes.begin(), codes.end());
    std::vector<uint8_t> out(static_cast<size_t>(stream_bytes(bits, static_cast<int32_t>(c.size()))));
    pack_codes(c.data(), static_cast<int32_t>(c.size()), bits, out.data());
    return out;
}

TEST(Encoder, SeedZeroExample) {
    const std::vector<int8_t> signs = signs_for(0, 8);
    ASSERT_EQ(signs, (std::vector<int8_t>{-1, -1, 1, 1, -1, 1, 1, -1}));
    const std::vector<float> x = {1, 2, 3, 4, 5, 6, 7, 8};
    struct Case {
        int bits;
        std::vector<int> codes;
        std::vector<uint8_t> stream;
    };
    const Case cases[] = {
        {2, {2, 2, 1, 1, 2, 1, 1, 2}, {0xA5, 0x96}},
        {3, {4, 4, 3, 2, 4, 3, 3, 5}, {0x91, 0xA8, 0xDD}},
        {4, {7, 7, 6, 5, 7, 7, 6, 9}, {0x77, 0x65, 0x77, 0x69}},
    };
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (const Case& c : cases) {
            const Encoded e = encode(*kt, x, 8, signs, c.bits);
            EXPECT_EQ(e.codes, c.codes) << "bits " << c.bits;
            EXPECT_EQ(packed(e.codes, c.bits), c.stream) << "bits " << c.bits;
            EXPECT_NEAR(e.scale, 3.0 * std::sqrt(204.0), 1e-5 * 42.8486) << "bits " << c.bits;
        }
    }
    const Model m = model_encode(x, 8, signs, 2);
    const float y[8] = {0.09335f, 0.09335f, -0.18670f, -0.56011f, 0.09335f, -0.09335f, -0.28006f, 0.65346f};
    for (int i = 0; i < 8; ++i) EXPECT_NEAR(m.y[i], y[i], 1e-5) << i;
}

TEST(Encoder, ZeroVectorCodesTheZeroCell) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t hd : {1, 8, 100, 1024}) {
            const int32_t P = padded_dim(hd);
            const std::vector<int8_t> signs = signs_for(3, P);
            for (int bits : kCodeWidths) {
                const Encoded e = encode(*kt, std::vector<float>(static_cast<size_t>(hd), 0.0f), P, signs, bits);
                const int zero_cell = bits == 2 ? 2 : bits == 3 ? 4 : 7;
                EXPECT_EQ(e.codes, std::vector<int>(static_cast<size_t>(P), zero_cell)) << "hd " << hd << " bits " << bits;
                EXPECT_NEAR(e.scale, 3e-12, 3e-12 * 1e-5) << "hd " << hd << " bits " << bits;
            }
        }
    }
}

TEST(Encoder, UnitVectors) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        // e0 with signs[0] = +1 (seed 1 starts with nine +1 entries).
        for (int32_t P : {8, 128, 1024}) {
            const std::vector<int8_t> signs = signs_for(1, P);
            ASSERT_EQ(signs[0], 1);
            for (int bits : kCodeWidths) {
                const Encoded e = encode(*kt, unit(P, 0), P, signs, bits);
                const int code = bits == 2 ? 2 : bits == 3 ? 4 : 8;
                EXPECT_EQ(e.codes, std::vector<int>(static_cast<size_t>(P), code)) << "P " << P << " bits " << bits;
                EXPECT_EQ(e.scale, P == 1024 ? 3.0f : 2.9999998f) << "P " << P << " bits " << bits;
            }
        }
        // e_k in general: y_i = +-1/3 with the sign of signs[k] * (-1)^popcount(i & k).
        for (int32_t P : {1, 2, 8, 64, 128, 1024}) {
            for (uint64_t seed : {0ULL, 7ULL}) {
                const std::vector<int8_t> signs = signs_for(seed, P);
                for (int32_t k : {0, 1, 3, 5, P / 2, P - 1}) {
                    if (k >= P) continue;
                    for (int bits : kCodeWidths) {
                        const Encoded e = encode(*kt, unit(P, k), P, signs, bits);
                        for (int32_t i = 0; i < P; ++i) {
                            const bool positive = (signs[k] > 0) == (__builtin_popcount(i & k) % 2 == 0);
                            const int want = positive ? (bits == 2 ? 2 : bits == 3 ? 4 : 8)
                                                      : (bits == 2 ? 1 : bits == 3 ? 3 : 6);
                            ASSERT_EQ(e.codes[i], want) << "P " << P << " k " << k << " i " << i << " bits " << bits;
                        }
                        EXPECT_NEAR(e.scale, 3.0f, 1e-6f) << "P " << P << " k " << k;
                    }
                }
            }
        }
    }
}

TEST(Encoder, PositiveScalingKeepsCodesAndScalesTheScale) {
    std::mt19937 rng(17);
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const std::vector<int8_t> signs8 = signs_for(1, 8);
        for (int bits : kCodeWidths) {
            const Encoded one = encode(*kt, unit(8, 0), 8, signs8, bits);
            const Encoded two = encode(*kt, unit(8, 0, 2.0f), 8, signs8, bits);
            EXPECT_EQ(two.codes, one.codes);
            EXPECT_NEAR(two.scale, 6.0f, 1e-5f);
        }

        int near_threshold = 0;
        for (int32_t hd : {8, 100, 128}) {
            const int32_t P = padded_dim(hd);
            const std::vector<int8_t> signs = signs_for(hd, P);
            for (int trial = 0; trial < 20; ++trial) {
                const std::vector<float> x = gaussian(rng, hd);
                std::vector<float> x35 = x;
                for (float& v : x35) v *= 3.5f;
                for (int bits : kCodeWidths) {
                    const Encoded a = encode(*kt, x, P, signs, bits);
                    const Encoded b = encode(*kt, x35, P, signs, bits);
                    // Both scales come from float sums over P terms: within (P + 8) u of exact.
                    EXPECT_NEAR(b.scale / a.scale, 3.5, 3.5 * (P + 8) * 0x1p-24);
                    const Model m = model_encode(x, P, signs, bits);
                    for (int32_t i = 0; i < P; ++i) {
                        if (a.codes[i] == b.codes[i]) continue;
                        // Only a coordinate within rounding of a threshold may change cell.
                        bool close = false;
                        for (float t : thresholds_listed(bits)) close |= std::fabs(m.y[i] - t) < 1e-5f;
                        EXPECT_TRUE(close) << "hd " << hd << " bits " << bits << " i " << i << " y " << m.y[i];
                        ++near_threshold;
                    }
                }
            }
        }
        EXPECT_LE(near_threshold, 2);
    }
}

TEST(Encoder, MatchesStepByStepFloatModel) {
    std::mt19937 rng(2718);
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        // head_dim 100 first: the 28 padding zeros take part in the rotation and rms.
        for (int32_t hd : {100, 1, 2, 3, 5, 8, 128, 1000, 1024}) {
            const int32_t P = padded_dim(hd);
            const std::vector<int8_t> signs = signs_for(hd * 1000003ULL, P);
            for (int trial = 0; trial < 6; ++trial) {
                std::vector<float> x = gaussian(rng, hd, trial % 2 ? 0.01f : 10.0f);
                if (trial == 5) x[hd / 2] += 50.0f;  // one dominant coordinate
                for (int bits : kCodeWidths) {
                    const Encoded e = encode(*kt, x, P, signs, bits);
                    const Model m = model_encode(x, P, signs, bits);
                    ASSERT_EQ(e.codes.size(), static_cast<size_t>(P));
                    EXPECT_EQ(e.codes, m.codes) << "hd " << hd << " bits " << bits << " trial " << trial;
                    EXPECT_EQ(bits_of(e.scale), bits_of(m.scale)) << "hd " << hd << " bits " << bits;
                }
            }
        }
    }
}

TEST(Encoder, NonFiniteInputGivesZeroCodesAndNaNScale) {
    const float bad_values[] = {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(),
                                -std::numeric_limits<float>::infinity()};
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t hd : {1, 8, 100}) {
            const int32_t P = padded_dim(hd);
            const std::vector<int8_t> signs = signs_for(0, P);
            for (float bad : bad_values) {
                for (int32_t at : {0, hd / 2, hd - 1}) {
                    std::vector<float> x(static_cast<size_t>(hd), 0.5f);
                    x[at] = bad;
                    for (int bits : kCodeWidths) {
                        const Encoded e = encode(*kt, x, P, signs, bits);
                        EXPECT_EQ(e.codes, std::vector<int>(static_cast<size_t>(P), 0))
                            << "hd " << hd << " value " << bad << " at " << at << " bits " << bits;
                        EXPECT_TRUE(std::isnan(e.scale)) << "hd " << hd << " value " << bad << " at " << at;
                    }
                }
            }
        }
    }
}

TEST(Encoder, CodeRangesFollowFromTheClamp) {
    std::mt19937 rng(4242);
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int bits : kCodeWidths) {
            const int lo = bits == 2 ? 0 : bits == 3 ? 2 : 4;
            const int hi = bits == 2 ? 3 : bits == 3 ? 5 : 10;
            std::vector<int> seen(16, 0);
            for (int32_t hd : {100, 128}) {
                const int32_t P = padded_dim(hd);
                const std::vector<int8_t> signs = signs_for(hd + bits, P);
                for (int trial = 0; trial < 60; ++trial) {
                    std::vector<float> x;
                    if (trial % 3 == 0) {
                        x = gaussian(rng, hd);
                    } else {
                        // A few strong directions in the rotated space so that clamping happens.
                        std::vector<float> r = gaussian(rng, P, 0.05f);
                        for (int s = 0; s < 1 + trial % 4; ++s) r[rng() % P] += (rng() % 2 ? 1.0f : -1.0f) * 4.0f;
                        rht_inverse(r.data(), signs.data(), P);
                        x.assign(r.begin(), r.begin() + hd);
                    }
                    const Encoded e = encode(*kt, x, P, signs, bits);
                    const Model m = model_encode(x, P, signs, bits);
                    ASSERT_EQ(e.codes, m.codes);
                    for (int32_t i = 0; i < P; ++i) {
                        ASSERT_LE(std::fabs(m.y[i]), 1.0f + 0x1p-23f);
                        ASSERT_GE(e.codes[i], lo) << "bits " << bits;
                        ASSERT_LE(e.codes[i], hi) << "bits " << bits;
                        if (bits == 2 && (e.codes[i] == 0 || e.codes[i] == 3)) {
                            ASSERT_GE(std::fabs(m.y[i]), 0.98160005f) << "code " << e.codes[i];
                        }
                        ++seen[e.codes[i]];
                    }
                }
            }
            // The extremes of each range are reached, so the bounds above are not vacuous.
            EXPECT_GT(seen[lo], 0) << "bits " << bits;
            EXPECT_GT(seen[hi], 0) << "bits " << bits;
        }
    }
}

// The clamp-and-quantise step of each level on values sitting exactly on, and
// one step either side of, every threshold (where a wrong comparison shows).
TEST(Encoder, ClampedQuantizerOnThresholds) {
    const float inf = std::numeric_limits<float>::infinity();
    for (int bits : kCodeWidths) {
        std::vector<float> x = {0.0f, -0.0f, 1.0f, -1.0f, 3.999f, 4.0f, 4.5f, -4.5f, 100.0f, -100.0f, inf, -inf};
        for (float t : thresholds_listed(bits)) {
            x.push_back(t);
            x.push_back(std::nextafter(t, inf));
            x.push_back(std::nextafter(t, -inf));
        }
        // sp = inv = 1 and clip = 4 leave every threshold unclamped.
        const float clip = 4.0f;
        std::vector<int> want;
        for (float v : x) want.push_back(quantize_code(std::max(-clip, std::min(clip, v)), bits));
        for (const KernelTable* kt : available_tables()) {
            for (int32_t P = 1; P <= static_cast<int32_t>(x.size()); P = P < 16 ? P + 1 : P + 7) {
                std::vector<uint8_t> codes(static_cast<size_t>(P) + 8, kGuardByte);
                kt->quantize_clamped(x.data(), P, 1.0f, clip, 1.0f, default_codebook(bits), codes.data());
                for (int32_t i = 0; i < P; ++i) {
                    ASSERT_EQ(codes[i], want[i]) << kt->name << " bits " << bits << " P " << P << " x " << x[i];
                }
                ASSERT_TRUE(guards_from(codes, sz(P))) << kt->name << " P " << P;
            }
        }
    }
}

TEST(Encoder, EncodeAndPackMatchesEncodeThenPack) {
    std::mt19937 rng(555);
    constexpr size_t kSlack = 16;
    for (int32_t hd : {1, 3, 5, 8, 100, 128, 1024}) {
        for (int bits : kCodeWidths) {
            const HeadCache head = make_head(hd, bits, 1, 0xabcdefULL + hd);
            const int32_t P = head.rotation.P;
            const size_t bytes = static_cast<size_t>(head.store.bytes_per_vec);
            const std::vector<float> x = gaussian(rng, hd);

            std::vector<uint8_t> codes(static_cast<size_t>(P));
            const float want_scale = encode_vector(x.data(), hd, P, head.rotation.signs.data(), bits, codes.data());
            std::vector<uint8_t> want(bytes + kSlack, kGuardByte);
            pack_codes(codes.data(), P, bits, want.data());

            std::vector<uint8_t> got(bytes + kSlack, kGuardByte);
            const float scale = encode_and_pack(head, x.data(), bits, got.data());
            EXPECT_EQ(got, want) << "hd " << hd << " bits " << bits;
            EXPECT_EQ(bits_of(scale), bits_of(want_scale)) << "hd " << hd << " bits " << bits;

            for (const KernelTable* kt : available_tables()) {
                std::vector<uint8_t> at_level(bytes + kSlack, kGuardByte);
                const float s = encode_and_pack(*kt, head, x.data(), bits, at_level.data());
                EXPECT_EQ(at_level, want) << kt->name << " hd " << hd << " bits " << bits;
                EXPECT_EQ(bits_of(s), bits_of(want_scale)) << kt->name << " hd " << hd << " bits " << bits;
            }
        }
    }
}

TEST(Encoder, EveryLevelMatchesScalarBitForBit) {
    std::mt19937 rng(909);
    const KernelTable& scalar = scalar_kernels();
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t hd : {1, 2, 7, 16, 100, 128, 512, 1000, 1024}) {
            const int32_t P = padded_dim(hd);
            const std::vector<int8_t> signs = signs_for(hd, P);
            for (int trial = 0; trial < 4; ++trial) {
                const std::vector<float> x = gaussian(rng, hd, trial == 0 ? 1e-3f : 3.0f);
                for (int bits : kCodeWidths) {
                    const Encoded want = encode(scalar, x, P, signs, bits);
                    const Encoded got = encode(*kt, x, P, signs, bits);
                    EXPECT_EQ(got.codes, want.codes) << "hd " << hd << " bits " << bits;
                    EXPECT_EQ(bits_of(got.scale), bits_of(want.scale)) << "hd " << hd << " bits " << bits;
                }
            }
        }
    }
}

}  // namespace
}  // namespace kelvor::test
