#include "backend/mha_context.h"
#include "core/attention/attention.h"
#include "core/support/workspace.h"

namespace kelvor {
namespace {

// The flat operations' edge: a refusal is -1 (nothing for append) and its
// message in last_error, never an exception; a call that passes its checks
// clears last_error before it works.
bool head_index_ok(const kelvor_mha_ctx* ctx, int32_t head_idx, const char* message) {
    if (ctx == nullptr || !has_head(*ctx, head_idx)) {
        set_last_error(message);
        return false;
    }
    clear_last_error();
    return true;
}

}  // namespace

void kelvor_mha_append(kelvor_mha_ctx* ctx, int32_t head_idx, const float* key, const float* val, int32_t pos) {
    if (!head_index_ok(ctx, head_idx, "kelvor_mha_append: head_idx out of range")) return;
    head_append(*ctx->heads[head_idx], key, val, pos);
}

int32_t kelvor_mha_compute(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* query, float* out) {
    if (!head_index_ok(ctx, head_idx, "kelvor_mha_compute: head_idx out of range")) return -1;
    return head_attend(*ctx->heads[head_idx], query, out);
}

int32_t kelvor_mha_compute_batch(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* queries, int32_t n,
                                 float* out) {
    if (!head_index_ok(ctx, head_idx, "kelvor_mha_compute_batch: head_idx out of range")) return -1;
    if (n < 0) {
        set_last_error("kelvor_mha_compute_batch: n must not be negative");
        return -1;
    }
    return head_attend_batch(*ctx->heads[head_idx], queries, n, out);
}

}  // namespace kelvor
