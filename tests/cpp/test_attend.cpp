#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/encoder.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "core/kernels/softmax.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

struct Decoded {
    std::vector<std::vector<double>> keys, vals;
};

// What the ring holds, slot by slot, decoded from its codes.
Decoded decode_ring(const HeadCache& head) {
    const CodeStore& st = head.store;
    Decoded d;
    for (int32_t s = 0; s < st.count; ++s) {
        const size_t off = static_cast<size_t>(s) * st.bytes_per_vec;
        d.keys.push_back(decode(head, st.key_codes.data() + off, st.key_scales[s]));
        d.vals.push_back(decode(head, st.val_codes.data() + off, st.val_scales[s]));
    }
    return d;
}

Ref ring_ref(const HeadCache& head, const float* q) {
    const Decoded d = decode_ring(head);
    return attention_ref(d.keys, d.vals, q);
}

// Attention over the original float tokens [begin, end).
Ref float_ref(const Tokens& tok, size_t begin, size_t end, const float* q) {
    std::vector<std::vector<double>> keys, vals;
    for (size_t t = begin; t < end; ++t) {
        keys.emplace_back(tok.key(t), tok.key(t) + tok.hd);
        vals.emplace_back(tok.val(t), tok.val(t) + tok.hd);
    }
    return attention_ref(keys, vals, q);
}

// Over 70000 tokens the float32 sums of weights and values round about
// sqrt(70000) * 2^-24 = 1.6e-5 relative in the worst realistic case (measured 1e-6).
constexpr double kLongTol = 2e-5;

TEST(HeadAttend, EveryLevelIsAvailable) {
    const auto tables = available_tables();
    ASSERT_FALSE(tables.empty());
    EXPECT_EQ(tables[0]->level, SimdLevel::scalar);
    // The process-wide table is one of them.
    EXPECT_NE(std::find(tables.begin(), tables.end(), &kernels()), tables.end());
}

TEST(HeadAttend, EmptyHeadWritesZerosAndReturnsZero) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t hd : {1, 5, 64}) {
            HeadCache head = make_head(hd, 3, 16);
            const auto q = random_vector(sz(hd), 1);
            std::vector<float> out(sz(hd) + 4, kGuard);
            EXPECT_EQ(head_attend(*kt, head, q.data(), out.data()), 0);
            for (int32_t j = 0; j < hd; ++j) EXPECT_EQ(out[j], 0.0f);
            EXPECT_TRUE(guards_from(out, sz(hd)));

            const int32_t n = 3;
            const auto qs = random_vector(sz(n * hd), 2);
            std::vector<float> outs(sz(n * hd) + 4, kGuard);
            EXPECT_EQ(head_attend_batch(*kt, head, qs.data(), n, outs.data()), 0);
            for (int32_t j = 0; j < n * hd; ++j) EXPECT_EQ(outs[j], 0.0f);
            EXPECT_TRUE(guards_from(outs, sz(n * hd)));

            // Emptied by reset after holding tokens: zeros again, not stale data.
            const Tokens tok = random_tokens(hd, 3, 3);
            append_range(*kt, head, tok, 0, 3);
            head_cache_reset(head);
            std::fill(out.begin(), out.end(), kGuard);
            EXPECT_EQ(head_attend(*kt, head, q.data(), out.data()), 0);
            for (int32_t j = 0; j < hd; ++j) EXPECT_EQ(out[j], 0.0f);
        }
    }
}

TEST(HeadAttend, OneTokenOnExactPathReturnsTheValue) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t hd : {1, 5, 128}) {
            HeadCache head = make_head(hd, 2, 8);
            const Tokens tok = random_tokens(hd, 1, 11, 3.0f);
            append_range(*kt, head, tok, 0, 1);
            ASSERT_TRUE(answers_exactly(head));
            for (uint32_t seed : {1u, 2u}) {
                const auto q = random_vector(sz(hd), seed, 10.0f);
                std::vector<float> out(sz(hd), kGuard);
                EXPECT_EQ(head_attend(*kt, head, q.data(), out.data()), 1);
                EXPECT_EQ(0, std::memcmp(out.data(), tok.val(0), sizeof(float) * sz(hd)));
            }
        }
        // A score of -1e31, below any fixed start of the running maximum.
        HeadCache head = make_head(1, 2, 8);
        const float key = 1e16f, val = 2.0f, query = -1e15f;
        head_append(*kt, head, &key, &val, 0);
        float out = kGuard;
        EXPECT_EQ(head_attend(*kt, head, &query, &out), 1);
        EXPECT_EQ(out, val);
    }
}

TEST(HeadAttend, ZeroQueryWeighsEveryTokenEqually) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        // Exact path, T = 4: weights are exactly 0.25 and small integer values
        // make every product and sum exact, so out is the mean to the bit.
        {
            const int32_t hd = 6;
            HeadCache head = make_head(hd, 3, 8);
            Tokens tok = random_tokens(hd, 4, 5);
            for (size_t i = 0; i < tok.vals.size(); ++i) tok.vals[i] = float(int(i * 7 % 23) - 11);
            append_range(*kt, head, tok, 0, 4);
            const std::vector<float> q(sz(hd), 0.0f);
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 4);
            for (int32_t j = 0; j < hd; ++j) {
                const float mean = (tok.val(0)[j] + tok.val(1)[j] + tok.val(2)[j] + tok.val(3)[j]) / 4.0f;
                EXPECT_EQ(out[j], mean) << j;
            }
        }
        // Exact path, T not a power of two: the mean to float32 rounding.
        for (size_t T : {3u, 7u, 512u}) {
            const int32_t hd = 16;
            HeadCache head = make_head(hd, 4, 512);
            const Tokens tok = random_tokens(hd, T, uint32_t(T), 1.0f);
            append_range(*kt, head, tok, 0, T);
            ASSERT_TRUE(answers_exactly(head));
            const std::vector<float> q(sz(hd), 0.0f);
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), int32_t(T));
            // With a zero query the reference's weights are exactly 1/T.
            EXPECT_LE(rel_err(out.data(), float_ref(tok, 0, T, q.data())), kTol) << "T " << T;
        }
        // Quantized path: uniform weights over the decoded ring, no NaN from
        // the zero-norm query's rotation.
        for (int32_t bits : kCodeWidths) {
            const int32_t hd = 20;
            HeadCache head = make_head(hd, bits, 5);
            const Tokens tok = random_tokens(hd, 9, 40u + uint32_t(bits), 0.5f);
            append_range(*kt, head, tok, 0, 9);
            ASSERT_FALSE(answers_exactly(head));
            const std::vector<float> q(sz(hd), 0.0f);
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 5);
            const Ref ref = ring_ref(head, q.data());
            EXPECT_LE(rel_err(out.data(), ref), kTol) << "bits " << bits;
        }
    }
}

TEST(HeadAttend, ExactPathIgnoresBitsSeedVMassAndHybridThresh) {
    struct Settings {
        int32_t bits;
        uint64_t seed;
        float v_mass;
        int32_t hybrid_thresh;
    };
    const Settings settings[] = {
        {2, 0, 0.95f, 512}, {3, 1, 0.0f, 0}, {4, 0xdeadbeefcafeULL, -3.0f, -1}, {4, ~0ULL, 1e9f, 100000},
    };
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (size_t T : {1u, 37u, 512u}) {
            const int32_t hd = 12;
            const Tokens tok = random_tokens(hd, T, 70u + uint32_t(T));
            const auto qs = random_vector(sz(3 * hd), 71);
            std::vector<float> first;
            for (const Settings& s : settings) {
                HeadCache head;
                head.hybrid_thresh = s.hybrid_thresh;
                head_cache_init(head, hd, s.bits, 512, s.seed, s.v_mass);
                append_range(*kt, head, tok, 0, T);
                ASSERT_TRUE(answers_exactly(head));
                std::vector<float> out(sz(3 * hd));
                ASSERT_EQ(head_attend_batch(*kt, head, qs.data(), 3, out.data()), int32_t(T));
                if (first.empty()) {
                    first = out;
                    for (int r = 0; r < 3; ++r) {
                        EXPECT_LE(rel_err(out.data() + r * hd, float_ref(tok, 0, T, qs.data() + r * hd)), kTol);
                    }
                } else {
                    EXPECT_EQ(0, std::memcmp(first.data(), out.data(), sizeof(float) * out.size()))
                        << "T " << T << " bits " << s.bits;
                }
            }
        }
    }
}

TEST(HeadAttend, ExactPathMatchesDoubleAttention) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t hd : {1, 5, 64, 128}) {
            for (size_t T : {1u, 2u, 100u, 512u}) {
                HeadCache head = make_head(hd, 3, 600);
                const Tokens tok = random_tokens(hd, T, uint32_t(hd * 1000 + T), 0.3f);
                append_range(*kt, head, tok, 0, T);
                ASSERT_TRUE(answers_exactly(head));
                for (uint32_t qs : {1u, 2u}) {
                    // A wide query makes the softmax peaked; a narrow one nearly flat.
                    const auto q = random_vector(sz(hd), qs, qs == 1 ? 3.0f : 0.2f);
                    std::vector<float> out(sz(hd));
                    ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), int32_t(T));
                    EXPECT_LE(rel_err(out.data(), float_ref(tok, 0, T, q.data())), kTol)
                        << "hd " << hd << " T " << T;
                }
            }
        }
    }
}

TEST(HeadAttend, QuantizedPathMatchesDecodedReference) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t bits : kCodeWidths) {
            for (int32_t hd : {1, 5, 8, 64, 100, 128}) {
                // 37 appends into 24 slots: wrapped, oldest token in slot 13.
                HeadCache head = make_head(hd, bits, 24, 1000u + uint64_t(hd));
                const Tokens tok = random_tokens(hd, 37, uint32_t(hd * 10 + bits), 0.3f);
                append_range(*kt, head, tok, 0, 37);
                ASSERT_FALSE(answers_exactly(head));
                for (uint32_t qs : {1u, 2u}) {
                    const auto q = random_vector(sz(hd), qs, qs == 1 ? 1.5f : 0.3f);
                    std::vector<float> out(sz(hd) + 3, kGuard);
                    ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 24);
                    EXPECT_LE(rel_err(out.data(), ring_ref(head, q.data())), kTol)
                        << "bits " << bits << " hd " << hd;
                    EXPECT_TRUE(guards_from(out, sz(hd)));
                }
            }
        }
    }
}

TEST(HeadAttend, Capacity1000After513AppendsIsQuantized) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 64;
        HeadCache head = make_head(hd, 3, 1000);
        const Tokens tok = random_tokens(hd, 513, 513, 0.3f);
        append_range(*kt, head, tok, 0, 512);
        EXPECT_TRUE(answers_exactly(head));
        append_range(*kt, head, tok, 512, 513);
        EXPECT_FALSE(answers_exactly(head));
        const auto q = random_vector(sz(hd), 5);
        std::vector<float> out(sz(hd));
        ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 513);
        const Ref ref = ring_ref(head, q.data());
        EXPECT_LE(rel_err(out.data(), ref), kTol);
    }
}

TEST(HeadAttend, WrappedRingIsVisitedOldestFirst) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t bits : kCodeWidths) {
            const int32_t hd = 24;
            const Tokens tok = random_tokens(hd, 10, 90u + uint32_t(bits), 0.2f);
            // Six appends into four slots: slots 2, 3, 0, 1 hold tokens 2, 3, 4, 5.
            HeadCache wrapped = make_head(hd, bits, 4, 3);
            append_range(*kt, wrapped, tok, 0, 6);
            ASSERT_EQ(wrapped.store.write_slot, 2);
            // Same tokens in slots 0..3 in order, after four fillers were overwritten.
            HeadCache in_order = make_head(hd, bits, 4, 3);
            append_range(*kt, in_order, tok, 6, 10);
            append_range(*kt, in_order, tok, 2, 6);
            ASSERT_EQ(in_order.store.write_slot, 0);
            ASSERT_FALSE(answers_exactly(wrapped));
            ASSERT_FALSE(answers_exactly(in_order));
            for (uint32_t qs : {1u, 2u, 3u}) {
                const auto q = random_vector(sz(hd), qs, 1.5f);
                std::vector<float> a(sz(hd)), b(sz(hd));
                ASSERT_EQ(head_attend(*kt, wrapped, q.data(), a.data()), 4);
                ASSERT_EQ(head_attend(*kt, in_order, q.data(), b.data()), 4);
                EXPECT_EQ(0, std::memcmp(a.data(), b.data(), sizeof(float) * a.size())) << "bits " << bits;
                EXPECT_LE(rel_err(a.data(), ring_ref(wrapped, q.data())), kTol);
            }
        }
    }
}

TEST(HeadAttend, QueryAndOutMayBeTheSameArray) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 40;
        const Tokens tok = random_tokens(hd, 30, 17, 0.2f);
        HeadCache exact = make_head(hd, 3, 64);
        append_range(*kt, exact, tok, 0, 30);
        HeadCache quant = make_head(hd, 3, 16);
        append_range(*kt, quant, tok, 0, 30);
        ASSERT_TRUE(answers_exactly(exact));
        ASSERT_FALSE(answers_exactly(quant));
        const int32_t n = 9;
        const auto qs = random_vector(sz(n * hd), 18, 1.5f);
        for (const HeadCache* head : {&exact, &quant}) {
            std::vector<float> out(sz(hd));
            std::vector<float> inplace(qs.begin(), qs.begin() + hd);
            ASSERT_EQ(head_attend(*kt, *head, qs.data(), out.data()), head->store.count);
            ASSERT_EQ(head_attend(*kt, *head, inplace.data(), inplace.data()), head->store.count);
            EXPECT_EQ(0, std::memcmp(out.data(), inplace.data(), sizeof(float) * sz(hd)));

            std::vector<float> outs(qs.size());
            std::vector<float> batch_inplace = qs;
            ASSERT_EQ(head_attend_batch(*kt, *head, qs.data(), n, outs.data()), head->store.count);
            ASSERT_EQ(head_attend_batch(*kt, *head, batch_inplace.data(), n, batch_inplace.data()),
                      head->store.count);
            EXPECT_EQ(0, std::memcmp(outs.data(), batch_inplace.data(), sizeof(float) * outs.size()));
        }
    }
}

TEST(HeadAttendBatch, ZeroRowsWritesNothing) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 8;
        const Tokens tok = random_tokens(hd, 7, 19);
        HeadCache exact = make_head(hd, 2, 8);
        append_range(*kt, exact, tok, 0, 7);
        HeadCache quant = make_head(hd, 2, 5);
        append_range(*kt, quant, tok, 0, 7);
        const auto q = random_vector(sz(hd), 20);
        for (const HeadCache* head : {&exact, &quant}) {
            std::vector<float> out(sz(hd), kGuard);
            EXPECT_EQ(head_attend_batch(*kt, *head, q.data(), 0, out.data()), head->store.count);
            EXPECT_TRUE(guards_from(out));
        }
    }
}

TEST(HeadAttend, QuantizedAnswerApproximatesFloatAttention) {
    // Loose bounds on the compression error itself: relative L2 error against
    // double attention over the original floats, averaged over 20 queries.
    // Values share a mean of 0.5 so the true output is not pure cancellation
    // (with zero-mean values it is mostly noise and any relative error is
    // meaningless). Measured: 0.27, 0.10, 0.056 at 2, 3, 4 bits.
    const double bound[kMaxBits + 1] = {0, 0, 0.5, 0.2, 0.12};
    double prev = std::numeric_limits<double>::infinity();
    for (int32_t bits : kCodeWidths) {
        const int32_t hd = 64;
        const size_t T = 200;
        // 230 appends into 200 slots: the ring holds tokens 30..229.
        HeadCache head = make_head(hd, bits, int32_t(T));
        const Tokens tok = random_tokens(hd, T + 30, 300, 0.5f);
        append_range(kernels(), head, tok, 0, T + 30);
        ASSERT_FALSE(answers_exactly(head));
        double err_sum = 0.0;
        const int queries = 20;
        for (int i = 0; i < queries; ++i) {
            const auto q = random_vector(sz(hd), 400u + uint32_t(i), 0.7f);
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(head, q.data(), out.data()), int32_t(T));
            const Ref ref = float_ref(tok, 30, T + 30, q.data());
            double num = 0.0, den = 0.0;
            for (int32_t j = 0; j < hd; ++j) {
                num += (out[j] - ref.out[j]) * (out[j] - ref.out[j]);
                den += ref.out[j] * ref.out[j];
            }
            err_sum += std::sqrt(num / den);
        }
        const double mean_err = err_sum / queries;
        EXPECT_LT(mean_err, bound[bits]) << "bits " << bits;
        EXPECT_LT(mean_err, prev) << "bits " << bits;
        prev = mean_err;
    }
}

TEST(HeadAttend, LongContextBeyond65536Tokens) {
    const int32_t hd = 8;
    const int32_t cap = 70000;
    const size_t n = sz(cap) + 1;
    Tokens tok = random_tokens(hd, n, 77, 1.0f);
    const auto q = random_vector(sz(hd), 78, 1.0f);
    // The newest token, which replaced token 0, gets a key along the query and
    // an odd value, so it carries a large share of the weight.
    for (int32_t i = 0; i < hd; ++i) {
        tok.keys[(n - 1) * hd + i] = 4.0f * q[i];
        tok.vals[(n - 1) * hd + i] = -6.0f;
    }
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        HeadCache head = make_head(hd, 2, cap);
        append_range(*kt, head, tok, 0, n);
        ASSERT_EQ(head.store.count, cap);
        ASSERT_EQ(head.store.write_slot, 1);
        std::vector<float> out(sz(hd), kGuard);
        ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), cap);
        Decoded ring = decode_ring(head);
        const Ref ref = attention_ref(ring.keys, ring.vals, q.data());
        EXPECT_LE(rel_err(out.data(), ref), kLongTol);
        // The data are such that keeping token 0 in slot 0 instead of the newest
        // token would move the answer far beyond the tolerance.
        const EncodedStream k0 = encode_stream(*kt, head, tok.key(0));
        const EncodedStream v0 = encode_stream(*kt, head, tok.val(0));
        ring.keys[0] = decode(head, k0.stream.data(), k0.scale);
        ring.vals[0] = decode(head, v0.stream.data(), v0.scale);
        const Ref stale = attention_ref(ring.keys, ring.vals, q.data());
        ASSERT_GT(rel_err(stale, ref), 1000 * kLongTol);

        const int32_t rows = 9;
        std::vector<float> qs(sz(rows * hd));
        for (int32_t r = 0; r < rows; ++r) std::copy(q.begin(), q.end(), qs.begin() + r * hd);
        for (int32_t j = 0; j < hd; ++j) qs[sz(4 * hd + j)] = -q[j];
        std::vector<float> outs(qs.size());
        ASSERT_EQ(head_attend_batch(*kt, head, qs.data(), rows, outs.data()), cap);
        EXPECT_EQ(0, std::memcmp(outs.data(), out.data(), sizeof(float) * sz(hd)));
        EXPECT_LE(rel_err(outs.data() + 4 * hd, ring_ref(head, qs.data() + 4 * hd)), kLongTol);
    }
}

TEST(Softmax, SingleValueAndEqualValues) {
    std::vector<void (*)(float*, int32_t)> fns = {softmax_inplace};
    for (const KernelTable* kt : available_tables()) fns.push_back(kt->softmax);
    for (auto fn : fns) {
        for (float v : {0.0f, -3.5f, 88.0f, -1e30f, 1e30f}) {
            float x = v;
            fn(&x, 1);
            EXPECT_EQ(x, 1.0f) << v;
        }
        for (int32_t n : {2, 3, 5, 7, 10, 17, 100, 1000, 65536}) {
            for (float v : {0.0f, -7.25f, 1000.0f}) {
                std::vector<float> x(sz(n), v);
                fn(x.data(), n);
                const float expected = 1.0f / static_cast<float>(n);
                for (int32_t i = 0; i < n; ++i) ASSERT_EQ(x[i], expected) << "n " << n << " i " << i;
            }
        }
        // Against double precision on spread-out inputs.
        const auto x0 = random_vector(300, 9, 4.0f);
        std::vector<float> x = x0;
        fn(x.data(), 300);
        double m = *std::max_element(x0.begin(), x0.end()), sum = 0.0;
        for (float v : x0) sum += std::exp(double(v) - m);
        for (size_t i = 0; i < x.size(); ++i) {
            const double w = std::exp(double(x0[i]) - m) / sum;
            EXPECT_NEAR(x[i], w, 1e-5 * w + 1e-12) << i;
        }
    }
}

}  // namespace
}  // namespace kelvor::test
