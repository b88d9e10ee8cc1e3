#include <algorithm>
#include <cmath>

#include "core/attention.h"
#include "core/codebook.h"
#include "core/vector_check.h"
#include "core/wide_softmax.h"
#include "core/workspace.h"

namespace kelvor {

bool answers_exactly(const HeadCache& head) {
    const int32_t T = head.store.count;
    return head.exact_window > 0 && T <= head.exact_window && !head.store.wrapped &&
           head.exact.size() == 2 * static_cast<size_t>(head.head_dim) * static_cast<size_t>(T);
}

namespace {

// The query, padded to P, normalised, rotated and scaled back to its norm times
// sqrt(P): the scale the codebook levels live at. A fitted head's keys are
// coded divided by its key divisors, so the query is multiplied by them first.
void rotate_query(const KernelTable& kt, const HeadCache& head, const float* query, float* rq) {
    const int32_t hd = head.head_dim;
    const int32_t P = head.rotation.P;
    if (head.encoding == Encoding::fitted) {
        const float* divisor = head.fitted.key_divisor.data();
        for (int32_t i = 0; i < hd; ++i) rq[i] = query[i] * divisor[i];
        query = rq;
    }
    float ss = 0.0f;
    for (int32_t i = 0; i < hd; ++i) {
        rq[i] = query[i];
        ss += query[i] * query[i];
    }
    // A finite query of norm above ~1.8e19 overflows the sum: sum again with
    // the query scaled by a power of two, which keeps its direction exact.
    float unscale = 1.0f;
    if (!std::isfinite(ss)) {
        const float s = pow2_scale_for(rq, hd);
        ss = 0.0f;
        for (int32_t i = 0; i < hd; ++i) {
            rq[i] *= s;
            ss += rq[i] * rq[i];
        }
        unscale = 1.0f / s;
    }
    std::fill(rq + hd, rq + P, 0.0f);
    ss = ss + kNormGuard;
    const float norm = std::sqrt(ss);
    const float a = 1.0f / norm;
    for (int32_t i = 0; i < P; ++i) rq[i] = a * rq[i];
    kt.rht_forward(rq, head.rotation.signs.data(), P);
    const float g = std::sqrt(static_cast<float>(P)) * (norm * unscale);
    for (int32_t i = 0; i < P; ++i) rq[i] = g * rq[i];
}

// Runs fn over the held tokens [from, to) in oldest-first order, as at most two
// runs of consecutive slots (before and after the ring's end); `first` is the
// index of the run's first token in oldest-first order.
template <class Fn>
void for_each_run(const CodeStore& store, int32_t from, int32_t to, Fn&& fn) {
    const int32_t start = (store.write_slot - store.count + store.capacity) % store.capacity;
    const int32_t ring_end = store.capacity - start;  // tokens before the ring's end
    if (from < ring_end) fn(start + from, std::min(to, ring_end) - from, from);
    if (to > ring_end) {
        const int32_t b = std::max(from, ring_end);
        fn(b - ring_end, to - b, b);
    }
}

// Weights for one query whose scores overflowed (so the softmax gave NaN): the
// query scaled down by a power of two 2^-e scores finitely, its direction kept,
// and the softmax of those scores times 2^e is formed in double. `scaled` has
// room for head_dim floats and `rq` for P; both are free once scoring is done.
void reweigh_overflowed(const KernelTable& kt, const HeadCache& head, const float* query, float* scaled, float* rq,
                        float* row) {
    const int32_t hd = head.head_dim;
    const float* divisor = head.encoding == Encoding::fitted ? head.fitted.key_divisor.data() : nullptr;
    // The largest coordinate the rotation will see, divisors included.
    double largest = 0.0;
    for (int32_t i = 0; i < hd; ++i) {
        const double x = std::fabs(static_cast<double>(query[i]) * (divisor ? divisor[i] : 1.0f));
        if (!(x <= largest)) largest = x;
    }
    if (!std::isfinite(largest) || largest == 0.0) return;  // a NaN query: no answer to give
    int e;
    std::frexp(largest, &e);
    for (int32_t i = 0; i < hd; ++i) scaled[i] = std::ldexp(query[i], -e);
    rotate_query(kt, head, scaled, rq);
    const CodeStore& store = head.store;
    const int32_t P = head.rotation.P;
    const float kf = 1.0f / (std::sqrt(static_cast<float>(hd)) * static_cast<float>(P));
    float* vectors[1] = {rq};
    for_each_run(store, 0, store.count, [&](int32_t slot, int32_t tokens, int32_t first) {
        float* rows[1] = {row + first};
        const PackedTokens keys{store.key_codes.data() + static_cast<size_t>(slot) * store.bytes_per_vec,
                                store.key_scales.data() + slot, tokens, store.bytes_per_vec, P, store.bits,
                                store.codebook.levels};
        kt.score_keys(keys, kf, QueryBlock{1, vectors, rows});
    });
    softmax_scaled_wide(row, row, store.count, e);
}

void attend_quantized(const KernelTable& kt, const HeadCache& head, const float* const* queries, int32_t nq,
                      float* const* outs) {
    ThreadWorkspace& ws = thread_workspace();
    const CodeStore& store = head.store;
    const int32_t T = store.count;
    const int32_t P = head.rotation.P;
    const int32_t B = store.bytes_per_vec;

    float* rq[kQueryBlock];
    float* acc[kQueryBlock];
    float* rows[kQueryBlock];
    // Rows a power of two apart would share cache sets, and the kernels touch
    // the same token of every row together: pad the row stride by a line.
    const int32_t stride = (T + 15) / 16 * 16 + 16;
    float* scores = ws.scores(nq, stride);
    for (int32_t q = 0; q < nq; ++q) {
        rq[q] = ws.rotated_queries[q];
        acc[q] = ws.value_accumulators[q];
        rows[q] = scores + static_cast<size_t>(q) * static_cast<size_t>(stride);
        rotate_query(kt, head, queries[q], rq[q]);
    }

    const float kf = 1.0f / (std::sqrt(static_cast<float>(head.head_dim)) * static_cast<float>(P));
    const float vf = 1.0f / std::sqrt(static_cast<float>(P));

    for_each_run(store, 0, T, [&](int32_t slot, int32_t tokens, int32_t first) {
        float* run_rows[kQueryBlock];
        for (int32_t q = 0; q < nq; ++q) run_rows[q] = rows[q] + first;
        const PackedTokens keys{store.key_codes.data() + static_cast<size_t>(slot) * B, store.key_scales.data() + slot,
                                tokens, B, P, store.bits, store.codebook.levels};
        kt.score_keys(keys, kf, QueryBlock{nq, rq, run_rows});
    });
    for (int32_t q = 0; q < nq; ++q) kt.softmax(rows[q], T);
    for (int32_t q = 0; q < nq; ++q) {
        if (!std::isfinite(rows[q][0])) reweigh_overflowed(kt, head, queries[q], acc[q], rq[q], rows[q]);
    }
    const auto accumulate = [&](int32_t from, int32_t to) {
        for (int32_t q = 0; q < nq; ++q) std::fill(acc[q], acc[q] + P, 0.0f);
        for_each_run(store, from, to, [&](int32_t slot, int32_t tokens, int32_t first) {
            float* run_rows[kQueryBlock];
            for (int32_t q = 0; q < nq; ++q) run_rows[q] = rows[q] + first;
            const PackedTokens values{store.val_codes.data() + static_cast<size_t>(slot) * B,
                                      store.val_scales.data() + slot, tokens, B, P, store.bits, store.codebook.levels};
            kt.accumulate_values(values, vf, QueryBlock{nq, acc, run_rows});
        });
    };
    if (T <= kSumBlock) {
        accumulate(0, T);
    } else {
        // Each block of kSumBlock tokens sums from zero in float; the blocks add
        // up in double, so late small terms are not lost against a large sum.
        for (int32_t q = 0; q < nq; ++q) std::fill(ws.value_totals[q], ws.value_totals[q] + P, 0.0);
        for (int32_t from = 0; from < T; from += kSumBlock) {
            accumulate(from, std::min(T, from + kSumBlock));
            for (int32_t q = 0; q < nq; ++q) {
                for (int32_t j = 0; j < P; ++j) ws.value_totals[q][j] += static_cast<double>(acc[q][j]);
            }
        }
        for (int32_t q = 0; q < nq; ++q) {
            for (int32_t j = 0; j < P; ++j) acc[q][j] = static_cast<float>(ws.value_totals[q][j]);
        }
    }
    // Softmax weights sum to 1, so a fitted head's value mean is added once.
    const float* val_mean = head.encoding == Encoding::fitted ? head.fitted.val_mean.data() : nullptr;
    for (int32_t q = 0; q < nq; ++q) {
        kt.rht_inverse(acc[q], head.rotation.signs.data(), P);
        if (val_mean != nullptr) {
            for (int32_t j = 0; j < head.head_dim; ++j) outs[q][j] = acc[q][j] + val_mean[j];
        } else {
            std::copy(acc[q], acc[q] + head.head_dim, outs[q]);
        }
    }
}

}  // namespace

int32_t head_attend(const KernelTable& kt, const HeadCache& head, const float* query, float* out) {
    const int32_t T = head.store.count;
    if (T == 0) {
        std::fill(out, out + head.head_dim, 0.0f);
        return 0;
    }
    if (answers_exactly(head)) {
        kt.exact_attend(head.exact.data(), T, head.head_dim, query, thread_workspace().scores(1, T), out);
    } else {
        attend_quantized(kt, head, &query, 1, &out);
    }
    return T;
}

int32_t head_attend(const HeadCache& head, const float* query, float* out) {
    return head_attend(kernels(), head, query, out);
}

int32_t head_attend_batch(const KernelTable& kt, const HeadCache& head, const float* queries, int64_t n,
                          float* out) {
    const int32_t T = head.store.count;
    const size_t hd = static_cast<size_t>(head.head_dim);
    if (T == 0) {
        std::fill(out, out + static_cast<size_t>(n) * hd, 0.0f);
        return 0;
    }
    if (answers_exactly(head)) {
        float* scores = thread_workspace().scores(1, T);
        for (int64_t i = 0; i < n; ++i) {
            kt.exact_attend(head.exact.data(), T, head.head_dim, queries + i * hd, scores, out + i * hd);
        }
        return T;
    }
    // One pass over the codes serves a whole block of queries.
    for (int64_t i = 0; i < n; i += kQueryBlock) {
        const int32_t nq = static_cast<int32_t>(std::min<int64_t>(kQueryBlock, n - i));
        const float* qs[kQueryBlock];
        float* os[kQueryBlock];
        for (int32_t q = 0; q < nq; ++q) {
            qs[q] = queries + (i + q) * hd;
            os[q] = out + (i + q) * hd;
        }
        attend_quantized(kt, head, qs, nq, os);
    }
    return T;
}

int32_t head_attend_batch(const HeadCache& head, const float* queries, int64_t n, float* out) {
    return head_attend_batch(kernels(), head, queries, n, out);
}

}  // namespace kelvor
