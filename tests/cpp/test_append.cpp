#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "core/attention.h"
#include "core/encoder.h"
#include "core/head_cache.h"
#include "core/kernels.h"

namespace kelvor {
namespace {

size_t sz(int64_t n) { return static_cast<size_t>(n); }

std::vector<const KernelTable*> available_tables() {
    std::vector<const KernelTable*> tables;
    for (SimdLevel level : {SimdLevel::scalar, SimdLevel::avx2, SimdLevel::avx512}) {
        if (const KernelTable* t = kernels_for(level)) tables.push_back(t);
    }
    return tables;
}

struct Tokens {
    int32_t hd = 0;
    std::vector<float> keys, vals;
    const float* key(size_t t) const { return keys.data() + t * sz(hd); }
    const float* val(size_t t) const { return vals.data() + t * sz(hd); }
    float* key(size_t t) { return keys.data() + t * sz(hd); }
    float* val(size_t t) { return vals.data() + t * sz(hd); }
};

Tokens random_tokens(int32_t hd, size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    Tokens tok;
    tok.hd = hd;
    tok.keys.resize(n * sz(hd));
    tok.vals.resize(n * sz(hd));
    for (float& x : tok.keys) x = g(rng);
    for (float& x : tok.vals) x = 0.3f + g(rng);
    return tok;
}

std::vector<float> random_vector(size_t n, uint32_t seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> g(0.0f, 1.0f);
    std::vector<float> v(n);
    for (float& x : v) x = g(rng);
    return v;
}

HeadCache make_head(int32_t hd, int32_t bits, int32_t capacity, uint64_t seed = 11) {
    HeadCache head;
    head_cache_init(head, hd, bits, capacity, seed, 0.95f);
    return head;
}

struct Encoded {
    std::vector<uint8_t> stream;
    float scale;
};

Encoded encode(const KernelTable& kt, const HeadCache& head, const float* x) {
    Encoded e;
    e.stream.assign(sz(head.store.bytes_per_vec), 0);
    e.scale = encode_and_pack(kt, head, x, head.store.bits, e.stream.data());
    return e;
}

const uint8_t* key_slot(const HeadCache& head, int32_t s) {
    return head.store.key_codes.data() + sz(s) * sz(head.store.bytes_per_vec);
}
const uint8_t* val_slot(const HeadCache& head, int32_t s) {
    return head.store.val_codes.data() + sz(s) * sz(head.store.bytes_per_vec);
}

// Slot s holds exactly the encoder's streams and scales for this key and value.
void expect_slot_holds(const KernelTable& kt, const HeadCache& head, int32_t s, const float* key, const float* val) {
    const Encoded k = encode(kt, head, key);
    const Encoded v = encode(kt, head, val);
    const size_t B = sz(head.store.bytes_per_vec);
    EXPECT_EQ(0, std::memcmp(key_slot(head, s), k.stream.data(), B)) << "key codes, slot " << s;
    EXPECT_EQ(0, std::memcmp(val_slot(head, s), v.stream.data(), B)) << "value codes, slot " << s;
    EXPECT_EQ(std::memcmp(&head.store.key_scales[sz(s)], &k.scale, sizeof(float)), 0) << "key scale, slot " << s;
    EXPECT_EQ(std::memcmp(&head.store.val_scales[sz(s)], &v.scale, sizeof(float)), 0) << "value scale, slot " << s;
}

// --- Reference: decode codes in double and attend in double. ---

const double kLevels2[4] = {-1.5104, -0.4528, 0.4528, 1.5104};
const double kLevels3[8] = {-2.1529, -1.3439, -0.756, -0.2451, 0.2451, 0.756, 1.3439, 2.1529};
const double kLevels4[16] = {-2.7326, -2.069, -1.586, -1.188, -0.8491, -0.548, -0.2633, 0.0,
                             0.2633,  0.548,  0.8491, 1.188,  1.586,   2.069,  2.7326,  3.5714};

double level_ref(int32_t bits, unsigned code) {
    const double* t = bits == 2 ? kLevels2 : bits == 3 ? kLevels3 : kLevels4;
    return static_cast<double>(static_cast<float>(t[code]));
}

// Every width's layout is one most-significant-bit-first bit string.
unsigned code_at(const uint8_t* stream, int32_t bits, int32_t j) {
    unsigned c = 0;
    for (int32_t b = 0; b < bits; ++b) {
        const int32_t bit = bits * j + b;
        c = (c << 1) | ((stream[bit / 8] >> (7 - bit % 8)) & 1u);
    }
    return c;
}

std::vector<double> decode(const HeadCache& head, const uint8_t* stream, float scale) {
    const int32_t P = head.rotation.P;
    const int32_t bits = head.store.bits;
    std::vector<double> r(sz(P));
    for (int32_t j = 0; j < P; ++j) {
        r[sz(j)] = level_ref(bits, code_at(stream, bits, j)) * double(scale) / std::sqrt(double(P));
    }
    std::vector<double> x(sz(head.head_dim));
    for (int32_t i = 0; i < head.head_dim; ++i) {
        double s = 0.0;
        for (int32_t j = 0; j < P; ++j) s += (__builtin_popcount(unsigned(i & j)) % 2 ? -r[sz(j)] : r[sz(j)]);
        x[sz(i)] = head.rotation.signs[sz(i)] * s / std::sqrt(double(P));
    }
    return x;
}

struct Ref {
    std::vector<double> out;
    double scale = 0.0;  // sum of w_t * max|v_t|
};

Ref attention_ref(const std::vector<std::vector<double>>& keys, const std::vector<std::vector<double>>& vals,
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

// Quantized attention over tokens [begin, end), encoded afresh (not read from
// any ring) and decoded in double.
Ref encoded_ref(const KernelTable& kt, const HeadCache& head, const Tokens& tok, size_t begin, size_t end,
                const float* q) {
    std::vector<std::vector<double>> keys, vals;
    for (size_t t = begin; t < end; ++t) {
        const Encoded k = encode(kt, head, tok.key(t));
        const Encoded v = encode(kt, head, tok.val(t));
        keys.push_back(decode(head, k.stream.data(), k.scale));
        vals.push_back(decode(head, v.stream.data(), v.scale));
    }
    return attention_ref(keys, vals, q);
}

double rel_err(const float* out, const Ref& ref) {
    double e = 0.0;
    for (size_t j = 0; j < ref.out.size(); ++j) {
        if (!std::isfinite(out[j])) return std::numeric_limits<double>::infinity();
        e = std::max(e, std::fabs(double(out[j]) - ref.out[j]));
    }
    return e / ref.scale;
}

double rel_err(const Ref& a, const Ref& b) {
    const std::vector<float> f(a.out.begin(), a.out.end());
    return rel_err(f.data(), b);
}

// Same codes on both sides, so only float32 rounding differs (see test_attend.cpp).
constexpr double kTol = 4e-6;

TEST(HeadAppend, CapacityOneAlwaysWritesSlotZero) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 16;
        HeadCache head = make_head(hd, 3, 1);
        const Tokens tok = random_tokens(hd, 5, 1);
        for (size_t t = 0; t < 5; ++t) {
            head_append(*kt, head, tok.key(t), tok.val(t), int32_t(100 + t));
            EXPECT_EQ(head.store.count, 1);
            EXPECT_EQ(head.store.write_slot, 0);
            EXPECT_EQ(head.store.positions[0], uint32_t(100 + t));
            expect_slot_holds(*kt, head, 0, tok.key(t), tok.val(t));
            EXPECT_EQ(head.exact.size(), (t + 1) * 2 * sz(hd));
            // Only the first token is answered exactly; after that the ring has
            // replaced it and the one held token, weight 1, is the newest.
            EXPECT_EQ(answers_exactly(head), t == 0);
            const auto q = random_vector(sz(hd), uint32_t(t));
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 1);
            if (t == 0) {
                EXPECT_EQ(0, std::memcmp(out.data(), tok.val(0), sizeof(float) * sz(hd)));
            } else {
                EXPECT_LE(rel_err(out.data(), encoded_ref(*kt, head, tok, t, t + 1, q.data())), kTol);
            }
        }
    }
}

TEST(HeadAppend, CapacityFourAfterSixAppends) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t bits : {2, 3, 4}) {
            const int32_t hd = 24;
            HeadCache head = make_head(hd, bits, 4);
            const Tokens tok = random_tokens(hd, 6, 2u + uint32_t(bits));
            for (size_t t = 0; t < 6; ++t) head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
            EXPECT_EQ(head.store.count, 4);
            EXPECT_EQ(head.store.write_slot, 2);
            // The window keeps all six, key floats then value floats per token.
            ASSERT_EQ(head.exact.size(), 6 * 2 * sz(hd));
            for (size_t t = 0; t < 6; ++t) {
                EXPECT_EQ(0, std::memcmp(head.exact.data() + 2 * t * sz(hd), tok.key(t), sizeof(float) * sz(hd)));
                EXPECT_EQ(0, std::memcmp(head.exact.data() + (2 * t + 1) * sz(hd), tok.val(t), sizeof(float) * sz(hd)));
            }
            // Slots 0, 1 were overwritten by tokens 4, 5; slots 2, 3 still hold 2, 3.
            expect_slot_holds(*kt, head, 0, tok.key(4), tok.val(4));
            expect_slot_holds(*kt, head, 1, tok.key(5), tok.val(5));
            expect_slot_holds(*kt, head, 2, tok.key(2), tok.val(2));
            expect_slot_holds(*kt, head, 3, tok.key(3), tok.val(3));
            EXPECT_FALSE(answers_exactly(head));
            const auto q = random_vector(sz(hd), 7);
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 4);
            EXPECT_LE(rel_err(out.data(), encoded_ref(*kt, head, tok, 2, 6, q.data())), kTol) << "bits " << bits;
        }
    }
}

TEST(HeadAppend, WindowStopsAt512TokensAfterReset) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t capacity : {513, 1000}) {
            const int32_t hd = 6;
            HeadCache head = make_head(hd, 2, capacity);
            const Tokens before = random_tokens(hd, 20, 3);
            for (size_t t = 0; t < 20; ++t) head_append(*kt, head, before.key(t), before.val(t), 0);
            head_cache_reset(head);
            const Tokens tok = random_tokens(hd, 513, 4);
            for (size_t t = 0; t < 512; ++t) head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
            EXPECT_TRUE(answers_exactly(head));
            head_append(*kt, head, tok.key(512), tok.val(512), 512);
            EXPECT_EQ(head.store.count, 513);
            EXPECT_EQ(head.store.write_slot, 513 % capacity);
            EXPECT_FALSE(answers_exactly(head));
            // The window holds exactly the first 512 tokens since the reset.
            ASSERT_EQ(head.exact.size(), 512 * 2 * sz(hd));
            for (size_t t = 0; t < 512; ++t) {
                ASSERT_EQ(0, std::memcmp(head.exact.data() + 2 * t * sz(hd), tok.key(t), sizeof(float) * sz(hd)));
                ASSERT_EQ(0, std::memcmp(head.exact.data() + (2 * t + 1) * sz(hd), tok.val(t), sizeof(float) * sz(hd)));
            }
            expect_slot_holds(*kt, head, 512, tok.key(512), tok.val(512));
        }
    }
}

TEST(HeadAppend, PositionsKeepThe32BitPattern) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 4;
        const int32_t pos[] = {std::numeric_limits<int32_t>::min(), -1, 0, 1, 7, std::numeric_limits<int32_t>::max(),
                               -123456};
        const uint32_t expected[] = {0x80000000u, 0xFFFFFFFFu, 0u, 1u, 7u, 0x7FFFFFFFu, 0xFFFE1DC0u};
        HeadCache head = make_head(hd, 4, 8);
        const Tokens tok = random_tokens(hd, 7, 5);
        for (size_t t = 0; t < 7; ++t) head_append(*kt, head, tok.key(t), tok.val(t), pos[t]);
        for (size_t t = 0; t < 7; ++t) EXPECT_EQ(head.store.positions[t], expected[t]) << t;
        EXPECT_EQ(head.store.positions[7], 0u);
        // Wrapping overwrites the position along with the codes.
        head_append(*kt, head, tok.key(0), tok.val(0), 42);
        head_append(*kt, head, tok.key(0), tok.val(0), -2);
        EXPECT_EQ(head.store.positions[7], 42u);
        EXPECT_EQ(head.store.positions[0], 0xFFFFFFFEu);
        EXPECT_EQ(head.store.positions[1], 0xFFFFFFFFu);
    }
}

TEST(HeadAppend, SlotHoldsEncodedKeyAndValueAndNothingElseChanges) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t bits : {2, 3, 4}) {
            for (int32_t hd : {1, 5, 100, 128}) {
                const int32_t cap = 3;
                HeadCache head = make_head(hd, bits, cap);
                const Tokens tok = random_tokens(hd, 7, uint32_t(hd + bits));
                const size_t B = sz(head.store.bytes_per_vec);
                const size_t used = B * sz(cap);
                for (size_t t = 0; t < 7; ++t) {
                    const std::vector<uint8_t> keys_before(head.store.key_codes.data(),
                                                           head.store.key_codes.data() + head.store.key_codes.size());
                    const std::vector<uint8_t> vals_before(head.store.val_codes.data(),
                                                           head.store.val_codes.data() + head.store.val_codes.size());
                    const auto key_scales = head.store.key_scales;
                    const auto val_scales = head.store.val_scales;
                    const int32_t s = int32_t(t % cap);
                    ASSERT_EQ(head.store.write_slot, s);
                    head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
                    expect_slot_holds(*kt, head, s, tok.key(t), tok.val(t));
                    for (size_t i = 0; i < head.store.key_codes.size(); ++i) {
                        if (i >= sz(s) * B && i < sz(s + 1) * B) continue;
                        ASSERT_EQ(head.store.key_codes.data()[i], keys_before[i]) << "byte " << i;
                        ASSERT_EQ(head.store.val_codes.data()[i], vals_before[i]) << "byte " << i;
                    }
                    // The padding after the last slot is never written.
                    for (size_t i = used; i < head.store.key_codes.size(); ++i) {
                        ASSERT_EQ(head.store.key_codes.data()[i], 0);
                        ASSERT_EQ(head.store.val_codes.data()[i], 0);
                    }
                    for (int32_t o = 0; o < cap; ++o) {
                        if (o == s) continue;
                        EXPECT_EQ(head.store.key_scales[sz(o)], key_scales[sz(o)]);
                        EXPECT_EQ(head.store.val_scales[sz(o)], val_scales[sz(o)]);
                    }
                }
            }
        }
    }
}

TEST(HeadAppend, ResetStartsAgainAtSlotZeroOnTheExactPath) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 10;
        HeadCache head = make_head(hd, 3, 4);
        const Tokens tok = random_tokens(hd, 8, 6);
        for (size_t t = 0; t < 6; ++t) head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
        ASSERT_FALSE(answers_exactly(head));
        head_cache_reset(head);
        head_append(*kt, head, tok.key(6), tok.val(6), 6);
        EXPECT_EQ(head.store.count, 1);
        EXPECT_EQ(head.store.write_slot, 1);
        EXPECT_EQ(head.exact.size(), 2 * sz(hd));
        expect_slot_holds(*kt, head, 0, tok.key(6), tok.val(6));
        ASSERT_TRUE(answers_exactly(head));
        const auto q = random_vector(sz(hd), 8);
        std::vector<float> out(sz(hd));
        ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 1);
        EXPECT_EQ(0, std::memcmp(out.data(), tok.val(6), sizeof(float) * sz(hd)));
        // Filling the ring again without wrapping stays exact.
        for (size_t t = 0; t < 3; ++t) head_append(*kt, head, tok.key(t), tok.val(t), 0);
        EXPECT_EQ(head.store.count, 4);
        EXPECT_EQ(head.store.write_slot, 0);
        EXPECT_TRUE(answers_exactly(head));
    }
}

TEST(HeadAppend, Capacity512WrapSwitchesToTheLatestTokens) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 16;
        HeadCache head = make_head(hd, 3, 512);
        Tokens tok = random_tokens(hd, 513, 9);
        const auto q = random_vector(sz(hd), 10);
        // Token 512 stands out (key along the query, odd value), so the answer
        // over tokens 1..512 is far from the one over tokens 0..511.
        for (int32_t i = 0; i < hd; ++i) {
            tok.key(512)[i] = 3.0f * q[sz(i)];
            tok.val(512)[i] = -5.0f;
        }
        for (size_t t = 0; t < 512; ++t) head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
        EXPECT_EQ(head.store.count, 512);
        EXPECT_EQ(head.store.write_slot, 0);
        EXPECT_TRUE(answers_exactly(head));

        head_append(*kt, head, tok.key(512), tok.val(512), 512);
        EXPECT_EQ(head.store.count, 512);
        EXPECT_EQ(head.store.write_slot, 1);
        EXPECT_EQ(head.exact.size(), 512 * 2 * sz(hd));
        EXPECT_FALSE(answers_exactly(head));
        expect_slot_holds(*kt, head, 0, tok.key(512), tok.val(512));

        const Ref latest = encoded_ref(*kt, head, tok, 1, 513, q.data());
        const Ref first = encoded_ref(*kt, head, tok, 0, 512, q.data());
        ASSERT_GT(rel_err(first, latest), 1000 * kTol);
        std::vector<float> out(sz(hd));
        ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 512);
        EXPECT_LE(rel_err(out.data(), latest), kTol);
    }
}

}  // namespace
}  // namespace kelvor
