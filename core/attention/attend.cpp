#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/attention/attention.h"
#include "core/attention/scratch.h"
#include "core/formats/bfloat16.h"
#include "core/formats/codebook.h"
#include "core/formats/dither.h"
#include "core/formats/half_cells.h"
#include "core/kernels/wide_softmax.h"
#include "core/support/vector_check.h"

namespace kelvor {

bool answers_exactly(const HeadCache& head) {
    const int32_t T = head.store.count;
    return head.exact_window > 0 && T <= head.exact_window && !head.store.wrapped &&
           head.exact.size() == 2 * static_cast<size_t>(head.head_dim) * static_cast<size_t>(T);
}

namespace {

// The query, padded to P, normalised, rotated and scaled back to its norm times
// sqrt(P): the scale the codebook levels live at; first prepared by the
// head's codec for its coded keys.
void rotate_query(const KernelTable& kt, const HeadCache& head, const float* query, float* rq) {
    const int32_t hd = head.head_dim;
    const int32_t P = head.rotation.P;
    query = head.codec->prepare_query(head, query, rq);
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

// The kernels read float32 scales: a ring of narrower ones is widened a chunk
// at a time on the stack. Each token's score is its own and value sums add
// tokens in order however the tokens are cut, so the answers are bit for bit
// those of float32 scales holding the same values.
constexpr int32_t kScaleChunk = 256;

// fn(scales, offset, n) over tokens [offset, offset + n) of the run of
// `tokens` slots from `slot`, with their scales as float32.
template <class Fn>
void with_float_scales(const ScaleArray& scales, int32_t slot, int32_t tokens, Fn&& fn) {
    if (scales.is_float32()) return fn(scales.data() + slot, 0, tokens);
    float chunk[kScaleChunk];
    for (int32_t offset = 0; offset < tokens; offset += kScaleChunk) {
        const int32_t n = std::min(kScaleChunk, tokens - offset);
        scales.widen(static_cast<size_t>(slot + offset), n, chunk);
        fn(static_cast<const float*>(chunk), offset, n);
    }
}

// Which held tokens a head answers from codes and which at full precision,
// once it no longer answers exactly: the sinks (the first tokens since
// init/reset, kept in the window even after the ring replaced them) and the
// newest `recent_window` tokens come from their full-precision copies; the
// held tokens between them from their codes. Each token counts once.
struct TokenSplit {
    int32_t coded_from = 0;  // oldest-first offsets of the coded tokens in the ring
    int32_t coded_to = 0;
    // Coded tokens from keys_to on wait for their key group: their keys are
    // scored at full precision, their values come from codes.
    int32_t keys_to = 0;
    int32_t sinks = 0;       // window tokens attended at full precision
    int64_t first = 0;       // append index of the oldest held token
    int32_t full_precision() const { return sinks + (held - coded_to); }
    int32_t held = 0;
};

TokenSplit split_tokens(const HeadCache& head) {
    TokenSplit sp;
    const int32_t T = head.store.count;
    sp.held = T;
    sp.coded_to = T;
    sp.first = head.appended - T;
    if (head.sinks != 0 || head.recent_window != 0) {
        sp.sinks = std::min(head.sinks, exact_tokens(head));
        const int64_t sinks_held = std::clamp<int64_t>(sp.sinks - sp.first, 0, T);
        sp.coded_from = static_cast<int32_t>(sinks_held);
        sp.coded_to = std::max(sp.coded_from, T - std::min(head.recent_window, T));
    }
    sp.keys_to = std::max(sp.coded_from, std::min(sp.coded_to, T - pending_key_tokens(head)));
    return sp;
}

// Key k and value v of the i-th full-precision token: sinks first, then the
// recent tokens oldest first.
struct FullPrecisionToken {
    const float* key;
    const float* val;
};

// Where the i-th full-precision token's copy is stored.
const float* stored_copy(const HeadCache& head, const TokenSplit& sp, int32_t i) {
    if (i < sp.sinks) return head.exact.data() + static_cast<size_t>(i) * copy_floats(head, window_is_half(head));
    const int64_t index = sp.first + sp.coded_to + (i - sp.sinks);
    const auto entry = static_cast<size_t>(index % recent_slots(head));
    return head.recent.data() + entry * copy_floats(head, head.half_copies);
}

FullPrecisionToken full_precision_token(const HeadCache& head, const TokenSplit& sp, int32_t i) {
    const float* k = stored_copy(head, sp, i);
    return {k, k + head.head_dim};
}

// x . (k - offset) (offset may be nullptr) as eight float32 partial sums over
// the indices j % 8, combined in a fixed tree: the same bits at every level,
// and a loop the compiler can keep in vector registers.
float strided_dot(const float* x, const float* k, const float* offset, int32_t n) {
    float p[8] = {};
    int32_t j = 0;
    if (offset != nullptr) {
        for (; j + 8 <= n; j += 8) {
            for (int l = 0; l < 8; ++l) p[l] += x[j + l] * (k[j + l] - offset[j + l]);
        }
        for (int l = 0; j + l < n; ++l) p[l] += x[j + l] * (k[j + l] - offset[j + l]);
    } else {
        for (; j + 8 <= n; j += 8) {
            for (int l = 0; l < 8; ++l) p[l] += x[j + l] * k[j + l];
        }
        for (int l = 0; j + l < n; ++l) p[l] += x[j + l] * k[j + l];
    }
    return ((p[0] + p[4]) + (p[2] + p[6])) + ((p[1] + p[5]) + (p[3] + p[7]));
}

// One pass of up to kQueryBlock queries over a head that answers from codes,
// in steps: scores of the coded tokens (any split into token ranges gives the
// same bits: each token's score is its own), scores of the full-precision
// tokens, the softmax of each row, value sums from zero over token ranges, and
// the finish from those sums. Steps on different ranges may run at once on
// different threads; the rest reads what the earlier steps wrote.
class QuantizedPass {
public:
    QuantizedPass(const KernelTable& kt, const HeadCache& head, const float* const* queries, int32_t nq)
        : kt_(kt), head_(head), store_(head.store), sp_(split_tokens(head)), nq_(nq) {
        coded_ = sp_.coded_to - sp_.coded_from;
        refined_from_ = std::max(sp_.coded_from, sp_.coded_to - head.value_refine);
        full_ = sp_.full_precision();
        n_ = coded_ + full_;
        P_ = head.rotation.P;
        hd_ = head.head_dim;
        kf_ = 1.0f / (std::sqrt(static_cast<float>(hd_)) * static_cast<float>(P_));
        vf_ = 1.0f / std::sqrt(static_cast<float>(P_));
        // The calling thread's workspace holds the rotated queries and the
        // scores; other threads of a split pass read and write them through
        // these pointers while the caller waits for them.
        AttentionScratch& ws = attention_scratch();
        // Rows a power of two apart would share cache sets, and the kernels touch
        // the same token of every row together: pad the row stride by a line.
        const int32_t stride = (n_ + 15) / 16 * 16 + 16;
        float* scores = ws.scores(nq, stride);
        for (int32_t q = 0; q < nq; ++q) {
            queries_[q] = queries[q];
            rq_[q] = ws.rotated_queries[q];
            rows_[q] = scores + static_cast<size_t>(q) * static_cast<size_t>(stride);
            rotate_query(kt, head, queries[q], rq_[q]);
        }
        // float16 copies are read back once per pass, into the caller's
        // workspace, which the other threads of a split pass read as they do the scores.
        if (head.half_copies && full_ > 0) {
            const size_t token = copy_floats(head, false);
            float* copies = ws.copies(static_cast<size_t>(full_) * token);
            for (int32_t i = 0; i < full_; ++i) {
                float* to = copies + static_cast<size_t>(i) * token;
                get_copy(stored_copy(head, sp_, i), to, to + hd_, hd_, true);
            }
            copies_ = copies;
        }
    }

    int32_t coded_from() const { return sp_.coded_from; }
    int32_t coded_to() const { return sp_.coded_to; }
    int32_t keys_to() const { return sp_.keys_to; }
    int32_t P() const { return P_; }

    // Coded tokens [from, to), as oldest-first offsets in the ring.
    void score(int32_t from, int32_t to) const { score_coded(from, to, nq_, rq_, queries_, rows_); }

    // The full-precision tokens and the keys that wait for their group.
    void score_full_precision() const {
        score_full(nq_, queries_, rows_);
        score_waiting(nq_, queries_, rows_);
    }

    // The softmax of row q. A finite query so large that its scores overflow
    // (the softmax then gives NaN) is scored again scaled down by a power of
    // two 2^-e, which keeps its direction, and the softmax of those scores
    // times 2^e is formed in double. Ordinary queries never get there. Rows
    // are independent, so they may run on different threads (a rescue's
    // scratch is its own thread's).
    void softmax_row(int32_t q) const {
        kt_.softmax(rows_[q], n_);
        if (!std::isfinite(rows_[q][0])) rescue(q);
    }

    // Value sums of coded tokens [from, to) into acc, from zero. Tokens are
    // added oldest first however the range is cut, refined ones included.
    void accumulate(int32_t from, int32_t to, float* const* acc) const {
        for (int32_t q = 0; q < nq_; ++q) std::fill(acc[q], acc[q] + P_, 0.0f);
        for_each_run(store_, from, to, [&](int32_t slot, int32_t tokens, int32_t first) {
            with_float_scales(store_.val_scales, slot, tokens, [&](const float* scales, int32_t offset, int32_t n) {
                const int32_t at = first + offset;
                const int32_t plain = std::clamp(refined_from_ - at, 0, n);
                if (plain > 0) accumulate_codes(slot + offset, scales, at, plain, acc);
                if (plain < n) accumulate_refined(slot + offset + plain, scales + plain, at + plain, n - plain, acc);
            });
        });
    }

    // acc: the value sums of every coded token, in rotated space (overwritten).
    void finish(float* const* acc, float* const* outs) const {
        for (int32_t q = 0; q < nq_; ++q) {
            if (head_.value_dither) take_off_dither(q, acc[q]);
            kt_.rht_inverse(acc[q], head_.rotation.signs.data(), P_);
            // Softmax weights sum to 1: all of it is the coded tokens' unless
            // full-precision tokens share the softmax (whose few weights are
            // summed rather than the many coded ones).
            float coded_weight = 1.0f;
            if (full_ > 0) {
                float full_weight = 0.0f;
                for (int32_t i = 0; i < full_; ++i) full_weight += rows_[q][coded_ + i];
                coded_weight = 1.0f - full_weight;
            }
            float* out = outs[q];
            head_.codec->finish(head_, acc[q], coded_weight, out);
            for (int32_t i = 0; i < full_; ++i) {
                const float w = rows_[q][coded_ + i];
                const float* v = full(i).val;
                for (int32_t j = 0; j < hd_; ++j) out[j] += w * v[j];
            }
        }
    }

private:
    // The value pass read each coded value as scale * level; it was coded as
    // scale * (level - its pattern), refined or not. Per pattern, the weighted
    // sum of its tokens' scales, then that times the pattern off the sums,
    // patterns in order. Consecutive tokens take consecutive patterns, so the
    // sums go by position modulo the patterns (a loop that vectorises), in
    // float from zero per block of kSumBlock tokens, the blocks added in double.
    void take_off_dither(int32_t q, float* acc) const {
        static_assert(kSumBlock % kDitherPatterns == 0, "a block starts at its run's pattern");
        double weight[kDitherPatterns] = {};
        for_each_run(store_, sp_.coded_from, sp_.coded_to, [&](int32_t slot, int32_t tokens, int32_t first) {
            with_float_scales(store_.val_scales, slot, tokens, [&](const float* scales, int32_t offset, int32_t n) {
                const float* w = rows_[q] + (first + offset - sp_.coded_from);
                const int32_t p0 = dither_pattern_of(sp_.first + first + offset);
                for (int32_t from = 0; from < n; from += kSumBlock) {
                    const int32_t end = std::min(n, from + kSumBlock);
                    float part[kDitherPatterns] = {};
                    int32_t t = from;
                    for (; t + kDitherPatterns <= end; t += kDitherPatterns) {
                        for (int32_t k = 0; k < kDitherPatterns; ++k) part[k] += w[t + k] * scales[t + k];
                    }
                    for (int32_t k = 0; t + k < end; ++k) part[k] += w[t + k] * scales[t + k];
                    for (int32_t k = 0; k < kDitherPatterns; ++k) {
                        weight[(p0 + k) % kDitherPatterns] += static_cast<double>(part[k]);
                    }
                }
            });
        });
        for (int32_t p = 0; p < kDitherPatterns; ++p) {
            const auto wp = static_cast<float>(weight[p] * static_cast<double>(vf_));
            if (wp == 0.0f) continue;
            const float* d = dither_pattern(p);
            for (int32_t j = 0; j < P_; ++j) acc[j] -= wp * d[j];
        }
    }

    // Row entry k holds coded token coded_from + k, then the full-precision
    // ones: the rows from the coded token at oldest-first offset `at`.
    void rows_at(int32_t at, float** rows) const {
        for (int32_t q = 0; q < nq_; ++q) rows[q] = rows_[q] + (at - sp_.coded_from);
    }

    // n tokens from ring slot `slot` (oldest-first offset `at`), from their codes.
    void accumulate_codes(int32_t slot, const float* scales, int32_t at, int32_t n, float* const* acc) const {
        float* rows[kQueryBlock];
        rows_at(at, rows);
        const PackedTokens values{store_.val_codes.data() + static_cast<size_t>(slot) * store_.val_bytes_per_vec,
                                  scales, n, store_.val_bytes_per_vec, P_, store_.val_bits, store_.val_codebook.levels};
        kt_.accumulate_values(values, vf_, QueryBlock{nq_, const_cast<float**>(acc), rows});
    }

    // The same for refined tokens: each one's codes and half-cell bits become
    // one 4-bit stream, a few tokens at a time on the stack, which the 4-bit
    // kernel reads with the half cells' levels.
    void accumulate_refined(int32_t slot, const float* scales, int32_t at, int32_t n, float* const* acc) const {
        constexpr int32_t kChunk = 32;
        alignas(64) uint8_t wide[kChunk * kMaxStreamBytes + 64];  // and the zeroed line a decoder may read
        constexpr int32_t bits = 4;
        const int32_t wide_bytes = stream_bytes(bits, P_);
        const auto half_bytes = static_cast<size_t>(half_bits_bytes(P_));
        const int32_t entries = refined_entries(head_);
        auto entry = static_cast<int32_t>((sp_.first + at) % entries);
        for (int32_t done = 0; done < n; done += kChunk) {
            const int32_t m = std::min(kChunk, n - done);
            for (int32_t t = 0; t < m; ++t) {
                kt_.interleave_half_bits(
                    store_.val_codes.data() + static_cast<size_t>(slot + done + t) * store_.val_bytes_per_vec,
                    head_.half_bits.data() + static_cast<size_t>(entry) * half_bytes, P_, store_.val_bits,
                    wide + static_cast<size_t>(t) * wide_bytes);
                entry = entry + 1 == entries ? 0 : entry + 1;
            }
            std::fill(wide + static_cast<size_t>(m) * wide_bytes, wide + static_cast<size_t>(m) * wide_bytes + 64,
                      uint8_t{0});
            float* rows[kQueryBlock];
            rows_at(at + done, rows);
            const PackedTokens values{wide, scales + done, m, wide_bytes, P_, bits, head_.half_levels};
            kt_.accumulate_values(values, vf_, QueryBlock{nq_, const_cast<float**>(acc), rows});
        }
    }

    FullPrecisionToken full(int32_t i) const {
        if (copies_ == nullptr) return full_precision_token(head_, sp_, i);
        const float* k = copies_ + static_cast<size_t>(i) * 2 * static_cast<size_t>(hd_);
        return {k, k + hd_};
    }

    void score_coded(int32_t from, int32_t to, int32_t nq, float* const* vectors, const float* const* queries,
                     float* const* rows) const {
        for_each_run(store_, from, to, [&](int32_t slot, int32_t tokens, int32_t first) {
            with_float_scales(store_.key_scales, slot, tokens, [&](const float* scales, int32_t offset, int32_t n) {
                float* run_rows[kQueryBlock];
                for (int32_t q = 0; q < nq; ++q) run_rows[q] = rows[q] + (first + offset - sp_.coded_from);
                const PackedTokens keys{store_.key_codes.data() + static_cast<size_t>(slot + offset) * store_.bytes_per_vec,
                                        scales, n, store_.bytes_per_vec, P_, store_.bits, store_.codebook.levels};
                kt_.score_keys(keys, kf_, QueryBlock{nq, vectors, run_rows});
                if (head_.key_group > 0) add_group_offsets(nq, queries, run_rows, first + offset, n);
            });
        });
    }

    // Adds q . offset to the scores of n coded tokens from oldest-first offset
    // `first` (rows pointing at the first), a group at a time: each key was
    // coded minus its group's offset.
    void add_group_offsets(int32_t nq, const float* const* queries, float* const* rows, int32_t first, int32_t n) const {
        const int32_t G = head_.key_group;
        const int32_t entries = key_offset_entries(G, store_.capacity);
        const float f = 1.0f / std::sqrt(static_cast<float>(hd_));
        float offset[kMaxHeadDim];
        int64_t index = sp_.first + first;
        const int64_t end = index + n;
        for (int32_t at = 0; index < end;) {
            const int64_t g = index / G;
            const auto run = static_cast<int32_t>(std::min(end, (g + 1) * G) - index);
            widen_bfloat16(head_.key_offsets.data() + static_cast<size_t>(g % entries) * static_cast<size_t>(hd_), hd_,
                           offset);
            for (int32_t q = 0; q < nq; ++q) {
                const float b = strided_dot(queries[q], offset, nullptr, hd_) * f;
                for (int32_t t = at; t < at + run; ++t) rows[q][t] += b;
            }
            at += run;
            index += run;
        }
    }

    // Coded tokens whose keys wait for their group, scored from the keys as
    // appended, as the full-precision ones are.
    void score_waiting(int32_t nq, const float* const* queries, float* const* rows) const {
        const float* key_offset = head_.codec->key_offset(head_);
        const float f = 1.0f / std::sqrt(static_cast<float>(hd_));
        for (int32_t i = sp_.keys_to; i < sp_.coded_to; ++i) {
            const int64_t index = sp_.first + i;
            const float* k = head_.pending_keys.data() +
                             static_cast<size_t>(index % head_.key_group) * static_cast<size_t>(hd_);
            for (int32_t q = 0; q < nq; ++q) rows[q][i - sp_.coded_from] = strided_dot(queries[q], k, key_offset, hd_) * f;
        }
    }

    // Scored as the coded keys are: what the codec leaves out of a coded key
    // shifts every coded score by the same amount, so these leave it out too.
    void score_full(int32_t nq, const float* const* queries, float* const* rows) const {
        if (full_ == 0) return;
        const float* key_offset = head_.codec->key_offset(head_);
        const float f = 1.0f / std::sqrt(static_cast<float>(hd_));
        for (int32_t i = 0; i < full_; ++i) {
            const float* k = full(i).key;
            for (int32_t q = 0; q < nq; ++q) rows[q][coded_ + i] = strided_dot(queries[q], k, key_offset, hd_) * f;
        }
    }

    // Row q again, for a query whose scores overflowed. Runs on the calling
    // thread once scoring is done, so the rotated query's room and the
    // thread's first value accumulator are free.
    void rescue(int32_t q) const {
        const float* query = queries_[q];
        double largest = 0.0;
        for (int32_t i = 0; i < hd_; ++i) {
            const double x = std::fabs(static_cast<double>(query[i]));
            if (!(x <= largest)) largest = x;
        }
        if (!std::isfinite(largest) || largest == 0.0) return;  // a NaN query: no answer to give
        int e;
        std::frexp(largest, &e);
        float* scaled = attention_scratch().value_accumulators[0];
        for (int32_t i = 0; i < hd_; ++i) scaled[i] = std::ldexp(query[i], -e);
        rotate_query(kt_, head_, scaled, rq_[q]);
        const float* queries[1] = {scaled};
        float* vectors[1] = {rq_[q]};
        float* rows[1] = {rows_[q]};
        score_coded(sp_.coded_from, sp_.keys_to, 1, vectors, queries, rows);
        score_full(1, queries, rows);
        score_waiting(1, queries, rows);
        softmax_scaled_wide(rows_[q], rows_[q], n_, e);
    }

    const KernelTable& kt_;
    const HeadCache& head_;
    const CodeStore& store_;
    const TokenSplit sp_;
    const int32_t nq_;
    int32_t coded_ = 0;
    int32_t refined_from_ = 0;  // coded tokens from here on are read with their half-cell bits
    int32_t full_ = 0;
    int32_t n_ = 0;
    int32_t P_ = 0;
    int32_t hd_ = 0;
    float kf_ = 0.0f;
    float vf_ = 0.0f;
    const float* queries_[kQueryBlock] = {};
    float* rq_[kQueryBlock] = {};
    float* rows_[kQueryBlock] = {};
    const float* copies_ = nullptr;  // the full-precision tokens read back from float16, key then value each
};

// The pass over a head that answers from codes, its token work run through
// parallel(count, task), which runs task(0 .. count - 1) in order on this
// thread or shares them out, and returns false if it stopped. Scores go by
// blocks of kSumBlock coded tokens, the full-precision ones as one more task.
// Value sums: one block sums from zero in float; more blocks each sum from
// zero in float into rows of their own and add up in double in block order,
// so late small terms are not lost against a large sum, and the answer is the
// same bits whichever thread summed which block.
template <class Parallel>
bool attend_coded(const KernelTable& kt, const HeadCache& head, const float* const* queries, int32_t nq,
                  float* const* outs, Parallel&& parallel) {
    AttentionScratch& scratch = attention_scratch();
    const QuantizedPass pass(kt, head, queries, nq);
    const int32_t P = pass.P();
    const int32_t from = pass.coded_from();
    const int32_t to = pass.coded_to();
    const int32_t keys_to = pass.keys_to();
    const int32_t blocks = (to - from + kSumBlock - 1) / kSumBlock;
    const int32_t key_blocks = (keys_to - from + kSumBlock - 1) / kSumBlock;
    const auto block_end = [&](int32_t b) { return std::min(to, from + (b + 1) * kSumBlock); };
    if (!parallel(key_blocks + 1, [&](int32_t b) {
            if (b == key_blocks) return pass.score_full_precision();
            pass.score(from + b * kSumBlock, std::min(keys_to, from + (b + 1) * kSumBlock));
        })) {
        return false;
    }
    if (!parallel(nq, [&](int32_t q) { pass.softmax_row(q); })) return false;
    float* acc[kQueryBlock];
    for (int32_t q = 0; q < nq; ++q) acc[q] = scratch.value_accumulators[q];
    if (blocks <= 1) {
        pass.accumulate(from, to, acc);
        pass.finish(acc, outs);
        return true;
    }
    // Rows a cache line apart at least.
    const size_t row = static_cast<size_t>(P + 15) / 16 * 16 + 16;
    const size_t per_block = static_cast<size_t>(nq) * row;
    float* sums = scratch.block_sums(static_cast<size_t>(blocks) * per_block);
    if (!parallel(blocks, [&](int32_t b) {
            float* block_acc[kQueryBlock];
            for (int32_t q = 0; q < nq; ++q) block_acc[q] = sums + b * per_block + static_cast<size_t>(q) * row;
            pass.accumulate(from + b * kSumBlock, block_end(b), block_acc);
        })) {
        return false;
    }
    for (int32_t q = 0; q < nq; ++q) {
        double* total = scratch.value_totals[q];
        std::fill(total, total + P, 0.0);
        for (int32_t b = 0; b < blocks; ++b) {
            const float* block = sums + b * per_block + static_cast<size_t>(q) * row;
            for (int32_t j = 0; j < P; ++j) total[j] += static_cast<double>(block[j]);
        }
        for (int32_t j = 0; j < P; ++j) acc[q][j] = static_cast<float>(total[j]);
    }
    pass.finish(acc, outs);
    return true;
}

// Every task in order on the calling thread.
const auto in_order = [](int32_t count, const auto& task) {
    for (int32_t i = 0; i < count; ++i) task(i);
    return true;
};

// Runs fn(queries, outs, count) over the rows in blocks of up to kQueryBlock,
// stopping (and returning false) when fn does.
template <class Fn>
bool for_each_query_block(const float* queries, float* out, int64_t n, size_t hd, Fn&& fn) {
    for (int64_t i = 0; i < n; i += kQueryBlock) {
        const int32_t nq = static_cast<int32_t>(std::min<int64_t>(kQueryBlock, n - i));
        const float* qs[kQueryBlock];
        float* os[kQueryBlock];
        for (int32_t q = 0; q < nq; ++q) {
            qs[q] = queries + (i + q) * static_cast<int64_t>(hd);
            os[q] = out + (i + q) * static_cast<int64_t>(hd);
        }
        if (!fn(qs, os, nq)) return false;
    }
    return true;
}

// Tokens a query of the head attends: the held ones and the sinks the ring replaced.
int32_t attended_tokens(const HeadCache& head) {
    if (answers_exactly(head)) return head.store.count;
    const TokenSplit sp = split_tokens(head);
    return sp.held - sp.coded_from + sp.sinks;
}

}  // namespace

int32_t head_attend(const KernelTable& kt, const HeadCache& head, const float* query, float* out) {
    const int32_t T = head.store.count;
    if (T == 0) {
        std::fill(out, out + head.head_dim, 0.0f);
        return 0;
    }
    if (answers_exactly(head)) {
        kt.exact_attend(head.exact.data(), T, head.head_dim, query, attention_scratch().scores(1, T), out);
    } else {
        attend_coded(kt, head, &query, 1, &out, in_order);
    }
    return attended_tokens(head);
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
        float* scores = attention_scratch().scores(1, T);
        for (int64_t i = 0; i < n; ++i) {
            kt.exact_attend(head.exact.data(), T, head.head_dim, queries + i * hd, scores, out + i * hd);
        }
        return T;
    }
    // One pass over the codes serves a whole block of queries.
    for_each_query_block(queries, out, n, hd, [&](const float* const* qs, float* const* os, int32_t nq) {
        return attend_coded(kt, head, qs, nq, os, in_order);
    });
    return attended_tokens(head);
}

int32_t head_attend_batch(const HeadCache& head, const float* queries, int64_t n, float* out) {
    return head_attend_batch(kernels(), head, queries, n, out);
}

bool splits_tokens(const HeadCache& head) {
    if (head.store.count <= kSumBlock || answers_exactly(head)) return false;
    const TokenSplit sp = split_tokens(head);
    return sp.coded_to - sp.coded_from > kSumBlock;
}

bool head_attend_batch_split(const KernelTable& kt, const HeadCache& head, const float* queries, int64_t n,
                             float* out, const ParallelFor& parallel) {
    if (!splits_tokens(head)) {
        head_attend_batch(kt, head, queries, n, out);
        return true;
    }
    return for_each_query_block(queries, out, n, static_cast<size_t>(head.head_dim),
                                [&](const float* const* qs, float* const* os, int32_t nq) {
                                    return attend_coded(kt, head, qs, nq, os, parallel);
                                });
}

}  // namespace kelvor
