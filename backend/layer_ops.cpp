#include "backend/layer_ops.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

#include "core/attention.h"
#include "core/vector_check.h"
#include "core/workspace.h"

namespace kelvor {

bool run_tasks(const kelvor_mha_ctx* ctx, int32_t count, const std::function<void(int32_t)>& task,
               const StopPoll* stop) {
    if (ctx->pool) return ctx->pool->run(ctx->threads, count, task, stop);
    for (int32_t i = 0; i < count; ++i) {
        if (stop != nullptr && (*stop)()) return false;
        task(i);
    }
    return true;
}

namespace {

// Rows a piece of a compute answers: one pass of the kernels over a head (a
// multiple of it when a call has more than 2^31 pieces). Pieces start at
// multiples of kQueryBlock, as the blocks of one batch call do.
int64_t rows_per_piece(int64_t rows, int64_t heads) {
    int64_t per = kQueryBlock;
    while ((rows + per - 1) / per * heads > std::numeric_limits<int32_t>::max()) per *= 2;
    return per;
}

int32_t append_tokens(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int64_t T, int32_t pos,
                      const StopPoll* stop, bool name_token);

}  // namespace

int32_t kelvor_mha_append_heads(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int32_t pos) {
    if (ctx == nullptr) {
        set_last_error("kelvor_mha_append_heads: no context");
        return -1;
    }
    return append_tokens(ctx, keys, vals, 1, pos, nullptr, false);
}

int32_t kelvor_mha_append_tokens(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int64_t T, int32_t pos,
                                 const StopPoll* stop) {
    if (ctx == nullptr) {
        set_last_error("kelvor_mha_append_tokens: no context");
        return -1;
    }
    return append_tokens(ctx, keys, vals, T, pos, stop, true);
}

namespace {

int32_t append_tokens(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int64_t T, int32_t pos,
                      const StopPoll* stop, bool name_token) {
    if (T < 0 || static_cast<int64_t>(pos) + T - 1 > std::numeric_limits<int32_t>::max()) {
        set_last_error(("the positions pos ... pos + T - 1 must fit in int32; pos " + std::to_string(pos) + " and T " +
                        std::to_string(T) + " do not").c_str());
        return -1;
    }
    const int64_t hd = ctx->heads[0]->head_dim;
    const int64_t H = ctx->n_heads;
    // Each head finds its first bad token; the first in (token, head) order is named.
    std::vector<int64_t> bad_token(static_cast<size_t>(H), T);
    std::vector<VectorFault> fault(static_cast<size_t>(H), VectorFault::none);
    const bool checked = run_tasks(ctx, ctx->n_heads, [&](int32_t h) {
        for (int64_t t = 0; t < T; ++t) {
            const int64_t row = (t * H + h) * hd;
            const VectorFault fk = vector_fault(keys + row, hd);
            const VectorFault fv = vector_fault(vals + row, hd);
            if (fk != VectorFault::none || fv != VectorFault::none) {
                bad_token[static_cast<size_t>(h)] = t;
                fault[static_cast<size_t>(h)] =
                    fk == VectorFault::not_finite || fv == VectorFault::not_finite ? VectorFault::not_finite
                                                                                    : VectorFault::norm_overflows;
                return;
            }
        }
    }, stop);
    if (!checked) {
        set_last_error("stopped");
        return kStopped;
    }
    int64_t first = -1;
    for (int64_t h = 0; h < H; ++h) {
        if (bad_token[static_cast<size_t>(h)] < T &&
            (first < 0 || bad_token[static_cast<size_t>(h)] < bad_token[static_cast<size_t>(first)])) {
            first = h;
        }
    }
    if (first >= 0) {
        const std::string where =
            (name_token ? "token " + std::to_string(bad_token[static_cast<size_t>(first)]) + ", " : std::string()) +
            "row " + std::to_string(first);
        if (fault[static_cast<size_t>(first)] == VectorFault::not_finite) {
            set_last_error(("keys and vals must be finite; " + where + " is not").c_str());
        } else {
            set_last_error(("keys and vals must have norms below 1.8e19; " + where + " has not").c_str());
        }
        return -1;
    }
    clear_last_error();
    // Stores are not stopped: a head left half-appended would differ from every call sequence.
    run_tasks(ctx, ctx->n_heads, [&](int32_t h) {
        HeadCache& head = *ctx->heads[static_cast<size_t>(h)];
        for (int64_t t = 0; t < T; ++t) {
            const int64_t row = (t * H + h) * hd;
            head_append(head, keys + row, vals + row, pos + static_cast<int32_t>(t));
        }
    });
    return 0;
}

}  // namespace

int32_t kelvor_mha_compute_heads(const kelvor_mha_ctx* ctx, const float* queries, int32_t n_query_heads,
                                 int64_t rows, float* out, const StopPoll* stop) {
    if (ctx == nullptr) {
        set_last_error("kelvor_mha_compute_heads: no context");
        return -1;
    }
    if (n_query_heads <= 0 || n_query_heads % ctx->n_heads != 0 || rows < 0) {
        set_last_error("kelvor_mha_compute_heads: n_query_heads must be a positive multiple of n_heads and rows "
                       "must not be negative");
        return -1;
    }
    clear_last_error();
    const int64_t hd = ctx->heads[0]->head_dim;
    const int64_t rows_per_head = static_cast<int64_t>(n_query_heads / ctx->n_heads) * rows;
    if (rows_per_head == 0) return 0;
    // Piece i answers rows of head i / pieces.
    const int64_t per = rows_per_piece(rows_per_head, ctx->n_heads);
    const auto pieces = static_cast<int32_t>((rows_per_head + per - 1) / per);
    const bool done = run_tasks(ctx, ctx->n_heads * pieces, [&](int32_t i) {
        const int32_t h = i / pieces;
        const int64_t first = static_cast<int64_t>(i % pieces) * per;
        const int64_t offset = (h * rows_per_head + first) * hd;
        head_attend_batch(*ctx->heads[static_cast<size_t>(h)], queries + offset,
                          std::min(per, rows_per_head - first), out + offset);
    }, stop);
    if (!done) {
        set_last_error("stopped");
        return kStopped;
    }
    return 0;
}

int32_t kelvor_mha_compute_rows(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* queries, int64_t n,
                                float* out, const StopPoll* stop) {
    if (ctx == nullptr || head_idx < 0 || head_idx >= ctx->n_heads || n < 0) {
        set_last_error("kelvor_mha_compute_rows: head_idx out of range or n negative");
        return -1;
    }
    clear_last_error();
    const HeadCache& head = *ctx->heads[static_cast<size_t>(head_idx)];
    const int64_t hd = head.head_dim;
    const int64_t per = rows_per_piece(n, 1);
    const bool done = run_tasks(ctx, static_cast<int32_t>((n + per - 1) / per), [&](int32_t i) {
        const int64_t first = static_cast<int64_t>(i) * per;
        head_attend_batch(head, queries + first * hd, std::min(per, n - first), out + first * hd);
    }, stop);
    if (!done) {
        set_last_error("stopped");
        return kStopped;
    }
    return 0;
}

}  // namespace kelvor
