// The fitted encoding: its statistics, its encoder, its answers against a
// double-precision reference at every level, and its bytes across levels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/codec_fitted.h"
#include "core/codecs/encoder.h"
#include "core/formats/codebook.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

std::vector<float> fitted_vector(const HeadCache& head, FittedArray a) {
    const float* p = fitted_array(head, a);
    return std::vector<float>(p, p + head.head_dim);
}

HeadCache fitted_head(int32_t hd, int32_t bits, int32_t capacity, uint64_t seed = 11) {
    return make_head(hd, bits, capacity, seed, Encoding::fitted);
}

bool same_bytes(const void* a, const void* b, size_t n) { return std::memcmp(a, b, n) == 0; }

void append(HeadCache& head, std::vector<float> key, std::vector<float> val) {
    head_append(head, key.data(), val.data(), 0);
}

// Statistics are fixed by the append after which the head stops answering
// exactly (here the second, which replaces the only slot), from both tokens.
TEST(HeadStats, FixedOnTheAppendThatEndsExactAnswersFromEveryToken) {
    HeadCache head = fitted_head(2, 3, 1);
    append(head, {1.0f, 5.0f}, {0.0f, 4.0f});
    EXPECT_FALSE(head.codec_state.ready);
    EXPECT_TRUE(answers_exactly(head));
    append(head, {3.0f, 9.0f}, {2.0f, 0.0f});
    ASSERT_TRUE(head.codec_state.ready);
    EXPECT_FALSE(answers_exactly(head));
    EXPECT_EQ(fitted_vector(head, kKeyMean), (std::vector<float>{2.0f, 7.0f}));
    EXPECT_EQ(fitted_vector(head, kValMean), (std::vector<float>{1.0f, 2.0f}));
    // Channel rms 1 and 2: divisors are their square roots.
    EXPECT_EQ(fitted_vector(head, kKeyDivisor), (std::vector<float>{1.0f, float(std::sqrt(2.0))}));

    head_cache_reset(head);
    EXPECT_FALSE(head.codec_state.ready);
    // A channel that never varied is floored at 1% of the mean rms (0.5 here);
    // keys that never vary at all keep divisors of 1.
    append(head, {1.0f, 5.0f}, {0.0f, 0.0f});
    append(head, {3.0f, 5.0f}, {0.0f, 0.0f});
    EXPECT_EQ(fitted_vector(head, kKeyDivisor), (std::vector<float>{1.0f, float(std::sqrt(0.005))}));
    head_cache_reset(head);
    append(head, {4.0f, 5.0f}, {0.0f, 0.0f});
    append(head, {4.0f, 5.0f}, {1.0f, 0.0f});
    EXPECT_EQ(fitted_vector(head, kKeyDivisor), (std::vector<float>{1.0f, 1.0f}));
    // The constant key codes as a zero vector; the value's mean is half of it.
    EXPECT_EQ(head.store.key_scales[0], 0.0f);
    EXPECT_EQ(fitted_vector(head, kValMean), (std::vector<float>{0.5f, 0.0f}));
}

// The encoder against its definition on one vector: a positive factor keeps
// the codes and multiplies the scale exactly; a key's scale is the
// least-squares fit of its codes, a value's the one that keeps its norm.
TEST(FittedEncoder, KeysFitLeastSquaresValuesKeepTheirNorm) {
    for (int32_t bits : kCodeWidths) {
        SCOPED_TRACE(testing::Message() << "bits " << bits);
        const int32_t hd = 128;  // = P: the fit is over all P coordinates, padding included
        HeadCache head = fitted_head(hd, bits, 4);
        const Tokens tok = random_tokens(hd, 5, 3u + uint32_t(bits), 0.5f);
        for (size_t t = 0; t < 5; ++t) head_append(head, tok.key(t), tok.val(t), 0);
        ASSERT_TRUE(head.codec_state.ready);
        const struct {
            std::vector<float> key_mean, val_mean, key_divisor;
        } st{fitted_vector(head, kKeyMean), fitted_vector(head, kValMean), fitted_vector(head, kKeyDivisor)};
        const size_t B = sz(head.store.bytes_per_vec);

        std::vector<float> key = random_vector(sz(hd), 9u, 2.0f), val = random_vector(sz(hd), 10u);
        std::vector<uint8_t> ks(B), vs(B), ks2(B), vs2(B);
        float k_scale, v_scale, k_scale2, v_scale2;
        encode_fitted_pair(kernels(), head, key.data(), val.data(), 0, ks.data(), vs.data(), &k_scale, &v_scale);
        // Twice as far from the means: the same codes, twice the scales.
        std::vector<float> key2(key), val2(val);
        for (int32_t i = 0; i < hd; ++i) {
            key2[sz(i)] = 2.0f * (key[sz(i)] - st.key_mean[sz(i)]) + st.key_mean[sz(i)];
            val2[sz(i)] = 2.0f * (val[sz(i)] - st.val_mean[sz(i)]) + st.val_mean[sz(i)];
        }
        encode_fitted_pair(kernels(), head, key2.data(), val2.data(), 0, ks2.data(), vs2.data(), &k_scale2, &v_scale2);
        EXPECT_EQ(ks2, ks);
        EXPECT_EQ(vs2, vs);
        EXPECT_NEAR(k_scale2, 2.0f * k_scale, 4e-7 * k_scale);
        EXPECT_NEAR(v_scale2, 2.0f * v_scale, 4e-7 * v_scale);

        std::vector<double> centred_key(sz(hd)), centred_val(sz(hd));
        for (int32_t i = 0; i < hd; ++i) {
            centred_key[sz(i)] = (double(key[sz(i)]) - st.key_mean[sz(i)]) / st.key_divisor[sz(i)];
            centred_val[sz(i)] = double(val[sz(i)]) - st.val_mean[sz(i)];
        }
        const std::vector<double> k_hat = decode(head, ks.data(), k_scale);
        const std::vector<double> v_hat = decode(head, vs.data(), v_scale);
        double kk = 0, kh = 0, hh = 0, vv = 0, vh = 0;
        for (int32_t i = 0; i < hd; ++i) {
            kh += centred_key[sz(i)] * k_hat[sz(i)];
            hh += k_hat[sz(i)] * k_hat[sz(i)];
            kk += centred_key[sz(i)] * centred_key[sz(i)];
            vv += centred_val[sz(i)] * centred_val[sz(i)];
            vh += v_hat[sz(i)] * v_hat[sz(i)];
        }
        // Least squares: the residual is orthogonal to the reconstruction.
        EXPECT_NEAR(kh / hh, 1.0, 1e-5);
        EXPECT_LT(kh * kh / (kk * hh), 1.0);
        EXPECT_NEAR(std::sqrt(vh / vv), 1.0, 1e-5);

        // A vector equal to the means codes as scale 0: its answer is the mean.
        encode_fitted_pair(kernels(), head, st.key_mean.data(), st.val_mean.data(), 0, ks.data(), vs.data(), &k_scale,
                           &v_scale);
        EXPECT_EQ(k_scale, 0.0f);
        EXPECT_EQ(v_scale, 0.0f);
    }
}

struct Ring {
    int32_t capacity, appends;
};
// Statistics fixed on a wrap while the exact window still fills (7, 40; 1, 2),
// on the 513th token (600, 700), and when both coincide (512, 513).
const Ring kRings[] = {{7, 40}, {600, 700}, {512, 513}, {1, 2}};

// Keys with a shared offset and channels of very different sizes, as model keys have.
Tokens model_like_tokens(int32_t hd, int32_t n, uint32_t seed) {
    Tokens tok = random_tokens(hd, sz(n), seed, 0.3f, seed + 1);
    const std::vector<float> offset = random_vector(sz(hd), seed + 2, 2.0f);
    for (int32_t t = 0; t < n; ++t) {
        for (int32_t i = 0; i < hd; ++i) {
            const float channel = std::exp(float((i * 7919) % 13) / 6.0f - 1.0f);
            tok.key(sz(t))[i] = channel * tok.key(sz(t))[i] + offset[sz(i)];
        }
    }
    return tok;
}

// Every level codes every token with the same bytes, scales and statistics as
// the scalar reference, and answers what those codes stand for: attention in
// double with the query multiplied by the divisors and the value mean added.
TEST(FittedAttend, EveryLevelStoresTheSameBytesAndAnswersWhatTheCodesStandFor) {
    for (const KernelTable* kt : available_tables()) {
        for (int32_t hd : {1, 5, 100, 128}) {
            for (int32_t bits : kCodeWidths) {
                for (const Ring ring : kRings) {
                    SCOPED_TRACE(testing::Message() << kt->name << " head_dim " << hd << " bits " << bits
                                                    << " capacity " << ring.capacity << " appends " << ring.appends);
                    const uint64_t seed = 0x77ULL * uint64_t(hd) + uint64_t(bits);
                    HeadCache want = fitted_head(hd, bits, ring.capacity, seed);
                    HeadCache head = fitted_head(hd, bits, ring.capacity, seed);
                    const Tokens tok = model_like_tokens(hd, ring.appends, uint32_t(hd + 31 * bits + ring.appends));
                    append_range(scalar_kernels(), want, tok, 0, sz(ring.appends));
                    append_range(*kt, head, tok, 0, sz(ring.appends));
                    ASSERT_FALSE(answers_exactly(head));
                    ASSERT_EQ(fitted_vector(head, kKeyDivisor), fitted_vector(want, kKeyDivisor));
                    ASSERT_EQ(fitted_vector(head, kKeyMean), fitted_vector(want, kKeyMean));
                    const size_t B = sz(head.store.bytes_per_vec), T = sz(head.store.count);
                    ASSERT_TRUE(same_bytes(head.store.key_codes.data(), want.store.key_codes.data(), T * B));
                    ASSERT_TRUE(same_bytes(head.store.val_codes.data(), want.store.val_codes.data(), T * B));
                    ASSERT_TRUE(same_bytes(head.store.key_scales.data(), want.store.key_scales.data(), T * 4));
                    ASSERT_TRUE(same_bytes(head.store.val_scales.data(), want.store.val_scales.data(), T * 4));

                    std::vector<std::vector<double>> keys, vals;
                    for (size_t s = 0; s < T; ++s) {
                        keys.push_back(decode(head, head.store.key_codes.data() + s * B, head.store.key_scales[s]));
                        vals.push_back(decode(head, head.store.val_codes.data() + s * B, head.store.val_scales[s]));
                        for (int32_t j = 0; j < hd; ++j) vals.back()[sz(j)] += fitted_array(head, kValMean)[j];
                    }
                    const int32_t nq = 3;
                    const std::vector<float> queries = random_vector(sz(nq * hd), uint32_t(hd * bits), 0.5f);
                    std::vector<float> batch(sz(nq * hd));
                    ASSERT_EQ(head_attend_batch(*kt, head, queries.data(), nq, batch.data()), int32_t(T));
                    for (int32_t q = 0; q < nq; ++q) {
                        const float* query = queries.data() + sz(q * hd);
                        std::vector<float> scaled(sz(hd)), out(sz(hd));
                        for (int32_t j = 0; j < hd; ++j) scaled[sz(j)] = query[j] * fitted_array(head, kKeyDivisor)[j];
                        ASSERT_EQ(head_attend(*kt, head, query, out.data()), int32_t(T));
                        EXPECT_LE(rel_err(out.data(), attention_ref(keys, vals, scaled.data())), kTol) << "query " << q;
                        EXPECT_TRUE(same_bytes(batch.data() + sz(q * hd), out.data(), sz(hd) * 4)) << "batch row " << q;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace kelvor::test
