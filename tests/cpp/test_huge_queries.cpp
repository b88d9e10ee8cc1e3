// Finite queries whose float32 scores overflow: every level answers them
// finitely, as the limit of softmax attention (weight on the top scores),
// against a double reference; ordinary rows of the same batch are untouched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/codec_fitted.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

// Softmax attention in double of q (also double, so q * divisor cannot overflow).
std::vector<double> wide_ref(const std::vector<std::vector<double>>& keys,
                             const std::vector<std::vector<double>>& vals, const std::vector<double>& q) {
    std::vector<double> s(keys.size());
    double m = -HUGE_VAL;
    for (size_t t = 0; t < keys.size(); ++t) {
        for (size_t i = 0; i < q.size(); ++i) s[t] += q[i] * keys[t][i];
        s[t] /= std::sqrt(double(q.size()));
        m = std::max(m, s[t]);
    }
    double sum = 0.0;
    for (double& x : s) sum += (x = std::exp(x - m));
    std::vector<double> out(vals[0].size());
    for (size_t t = 0; t < keys.size(); ++t) {
        for (size_t j = 0; j < out.size(); ++j) out[j] += s[t] / sum * vals[t][j];
    }
    return out;
}

// What the head attends over, as doubles: the window's floats, or the ring's
// decoded codes with a fitted head's statistics folded back in.
void head_ref(const HeadCache& head, const float* query, std::vector<double>* out) {
    const int32_t hd = head.head_dim;
    std::vector<std::vector<double>> keys, vals;
    std::vector<double> q(query, query + hd);
    if (answers_exactly(head)) {
        for (int32_t t = 0; t < head.store.count; ++t) {
            const float* k = head.exact.data() + 2 * sz(t) * sz(hd);
            keys.emplace_back(k, k + hd);
            vals.emplace_back(k + hd, k + 2 * hd);
        }
    } else {
        const CodeStore& st = head.store;
        for (int32_t s = 0; s < st.count; ++s) {
            const size_t off = sz(s) * sz(st.bytes_per_vec);
            keys.push_back(decode(head, st.key_codes.data() + off, st.key_scales[s]));
            vals.push_back(decode(head, st.val_codes.data() + off, st.val_scales[s]));
            if (head.encoding == Encoding::fitted) {
                for (int32_t j = 0; j < hd; ++j) vals.back()[sz(j)] += fitted_array(head, kValMean)[j];
            }
        }
        if (head.encoding == Encoding::fitted) {
            for (int32_t i = 0; i < hd; ++i) q[sz(i)] *= fitted_array(head, kKeyDivisor)[i];
        }
    }
    *out = wide_ref(keys, vals, q);
}

struct Case {
    const char* name;
    Encoding encoding;
    int32_t hd, bits, capacity, tokens;
    float key_sd;
};

TEST(HugeQueries, EveryLevelAnswersTheLimitOfSoftmax) {
    const Case cases[] = {
        {"exact", Encoding::clip3, 64, 3, 1024, 300, 10.0f},
        {"exact odd", Encoding::clip3, 5, 2, 1024, 40, 1e18f},
        {"clip3 ring", Encoding::clip3, 64, 2, 550, 600, 375.0f},
        {"clip3 ring 4 bits", Encoding::clip3, 100, 4, 300, 700, 1.0f},
        {"fitted ring", Encoding::fitted, 64, 3, 550, 600, 1.0f},
        {"fitted ring 4 bits", Encoding::fitted, 33, 4, 40, 600, 30.0f},
    };
    for (const KernelTable* kt : available_tables()) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(kt->name) + " " + c.name);
            HeadCache head = make_head(c.hd, c.bits, c.capacity, 5, c.encoding);
            Tokens tok = random_tokens(c.hd, sz(c.tokens), 3, 0.5f);
            for (float& k : tok.keys) k *= c.key_sd;
            append_range(*kt, head, tok, 0, sz(c.tokens));
            ASSERT_EQ(answers_exactly(head), c.tokens <= 512) << c.name;
            // Huge in every coordinate, in one coordinate, of either sign; and
            // one ordinary query, which must keep its own answer bit for bit.
            std::vector<std::vector<float>> queries;
            for (float big : {1e37f, -3.5e37f, 3.4e38f}) {
                std::vector<float> q = random_vector(sz(c.hd), 9, 1.0f, 2.0f);
                for (float& x : q) x = big * std::min(1.0f, x / 4.0f);  // no coordinate above FLT_MAX
                queries.push_back(q);
            }
            queries.push_back(std::vector<float>(sz(c.hd), 0.0f));
            queries.back()[0] = 1.2e20f;
            queries.push_back(random_vector(sz(c.hd), 11));
            std::vector<float> batch;
            for (const auto& q : queries) batch.insert(batch.end(), q.begin(), q.end());
            std::vector<float> batch_out(batch.size());
            head_attend_batch(*kt, head, batch.data(), static_cast<int64_t>(queries.size()), batch_out.data());
            for (size_t n = 0; n < queries.size(); ++n) {
                std::vector<float> out(sz(c.hd));
                head_attend(*kt, head, queries[n].data(), out.data());
                std::vector<double> ref;
                head_ref(head, queries[n].data(), &ref);
                double scale = 0.0, err = 0.0;
                for (size_t j = 0; j < out.size(); ++j) {
                    ASSERT_TRUE(std::isfinite(out[j])) << "query " << n << " coordinate " << j;
                    scale = std::max(scale, std::fabs(ref[j]));
                    err = std::max(err, std::fabs(out[j] - ref[j]));
                }
                EXPECT_LE(err, 1e-5 * std::max(scale, 1.0)) << "query " << n;
                EXPECT_EQ(bit_patterns(out), bit_patterns(std::vector<float>(
                                                 batch_out.begin() + n * sz(c.hd), batch_out.begin() + (n + 1) * sz(c.hd))))
                    << "query " << n;
            }
        }
    }
}

}  // namespace
}  // namespace kelvor::test
