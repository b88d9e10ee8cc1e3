#include <stdexcept>
#include <string>

#include "backend/mha_context.h"
#include "core/attention/attention.h"
#include "core/support/workspace.h"

namespace kelvor {

HeadIndex checked_head(const kelvor_mha_ctx& ctx, int32_t head_idx) {
    if (!has_head(ctx, head_idx)) {
        throw std::out_of_range("head " + std::to_string(head_idx) + " is out of range for a context with " +
                                std::to_string(ctx.n_heads) + " heads");
    }
    return HeadIndex(head_idx);
}

namespace {

// The flat operations' edge: a refusal is -1 (nothing for append) and its
// message in last_error, never an exception; a call that passes its checks
// clears last_error before it works.
HeadCache* head_or_refusal(const kelvor_mha_ctx* ctx, int32_t head_idx, const char* message) {
    if (ctx == nullptr || !has_head(*ctx, head_idx)) {
        set_last_error(message);
        return nullptr;
    }
    clear_last_error();
    return ctx->heads[static_cast<size_t>(head_idx)].get();
}

}  // namespace

void kelvor_mha_append(kelvor_mha_ctx* ctx, int32_t head_idx, const float* key, const float* val, int32_t pos) {
    HeadCache* head = head_or_refusal(ctx, head_idx, "kelvor_mha_append: head_idx out of range");
    if (head != nullptr) head_append(*head, key, val, pos);
}

int32_t kelvor_mha_compute(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* query, float* out) {
    const HeadCache* head = head_or_refusal(ctx, head_idx, "kelvor_mha_compute: head_idx out of range");
    return head != nullptr ? head_attend(*head, query, out) : -1;
}

int32_t kelvor_mha_compute_batch(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* queries, int32_t n,
                                 float* out) {
    const HeadCache* head = head_or_refusal(ctx, head_idx, "kelvor_mha_compute_batch: head_idx out of range");
    if (head == nullptr) return -1;
    if (n < 0) {
        set_last_error("kelvor_mha_compute_batch: n must not be negative");
        return -1;
    }
    return head_attend_batch(*head, queries, n, out);
}

}  // namespace kelvor
