#include "backend/layer_ops.h"

#include <string>

#include "core/attention.h"
#include "core/vector_check.h"
#include "core/workspace.h"

namespace kelvor {

int32_t kelvor_mha_append_heads(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int32_t pos) {
    if (ctx == nullptr) {
        set_last_error("kelvor_mha_append_heads: no context");
        return -1;
    }
    const int64_t hd = ctx->heads[0]->head_dim;
    for (int32_t h = 0; h < ctx->n_heads; ++h) {
        const VectorFault fk = vector_fault(keys + h * hd, hd);
        const VectorFault fv = vector_fault(vals + h * hd, hd);
        if (fk == VectorFault::not_finite || fv == VectorFault::not_finite) {
            set_last_error(("keys and vals must be finite; row " + std::to_string(h) + " is not").c_str());
            return -1;
        }
        if (fk != VectorFault::none || fv != VectorFault::none) {
            set_last_error(("keys and vals must have norms below 1.8e19; row " + std::to_string(h) + " has not").c_str());
            return -1;
        }
    }
    clear_last_error();
    ctx->workers->run(ctx->n_heads, [&](int32_t h) {
        head_append(*ctx->heads[static_cast<size_t>(h)], keys + h * hd, vals + h * hd, pos);
    });
    return 0;
}

int32_t kelvor_mha_compute_heads(const kelvor_mha_ctx* ctx, const float* queries, int32_t n_query_heads,
                                 int64_t rows, float* out) {
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
    ctx->workers->run(ctx->n_heads, [&](int32_t h) {
        const int64_t offset = h * rows_per_head * hd;
        head_attend_batch(*ctx->heads[static_cast<size_t>(h)], queries + offset, rows_per_head, out + offset);
    });
    return 0;
}

}  // namespace kelvor
