#include "backend/mha_backend.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/layer_ops.h"
#include "core/attention/attention.h"
#include "core/support/limits.h"
#include "core/support/memory_budget.h"
#include "core/support/workspace.h"

namespace kelvor {

KelvorMHABackend::KelvorMHABackend(int32_t n_heads, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed,
                                   float v_mass, int32_t hybrid_thresh, Encoding encoding)
    : KelvorMHABackend(ContextSettings{n_heads, head_dim, bits, capacity, seed, v_mass, hybrid_thresh, encoding, 1, {}}) {}

KelvorMHABackend::KelvorMHABackend(const ContextSettings& settings) : settings_(settings) {
    const ContextSettings& s = settings_;
    resolve_defaults(settings_);
    check_settings(s);
    // Weighed before anything exists: rings far beyond the machine fail at once
    // rather than after committing gigabytes, or at the hands of the OOM killer.
    require_memory(static_cast<uint64_t>(s.n_heads) * head_cache_bytes(s.head_dim, s.bits, s.capacity, s.encoding, s.options),
                   "a context of " + std::to_string(s.n_heads) + " heads");
    auto ctx = std::make_unique<kelvor_mha_ctx>();
    ctx->n_heads = s.n_heads;
    ctx->heads.resize(static_cast<size_t>(s.n_heads));
    for (int32_t i = 0; i < s.n_heads; ++i) {
        auto head = std::make_unique<HeadCache>();
        head->hybrid_thresh = s.hybrid_thresh;
        head_cache_init(*head, s.head_dim, s.bits, s.capacity, head_seed(s.seed, i), s.v_mass, s.encoding, s.options);
        ctx->heads[static_cast<size_t>(i)] = std::move(head);
    }
    ctx_ = std::move(ctx);
    set_threads(s.threads);
}

void KelvorMHABackend::append(int32_t head_idx, const float* key, const float* val, int32_t pos) {
    kelvor_mha_append(ctx_.get(), head_idx, key, val, pos);
}

int32_t KelvorMHABackend::compute(int32_t head_idx, const float* query, float* out) {
    return kelvor_mha_compute(ctx_.get(), head_idx, query, out);
}

int32_t KelvorMHABackend::compute_batch(int32_t head_idx, const float* queries, int32_t n, float* out) {
    return kelvor_mha_compute_batch(ctx_.get(), head_idx, queries, n, out);
}

void KelvorMHABackend::reset() {
    for (auto& head : ctx_->heads) {
        head_cache_reset(*head);
        clear_last_error();
    }
}

uint64_t KelvorMHABackend::kv_bytes() {
    uint64_t total = 0;
    for (const auto& head : ctx_->heads) {
        const CodeStore& st = head->store;
        total += static_cast<uint64_t>(st.count) * static_cast<uint64_t>(st.bytes_per_vec + st.val_bytes_per_vec);
    }
    return total;
}

uint64_t KelvorMHABackend::memory_bytes() const {
    uint64_t total = 0;
    for (const auto& head : ctx_->heads) total += head_cache_held_bytes(*head) + sizeof(head);
    return total;
}

void KelvorMHABackend::set_threads(int32_t threads) {
    check_setting(setting("threads"), threads);
    ctx_->pool = threads > 1 ? WorkerPool::shared(threads) : nullptr;
    // What a call can run on, which is also what its pieces are shared out for.
    ctx_->threads = ctx_->pool ? std::min(threads, ctx_->pool->threads()) : 1;
    settings_.threads = threads;
}

int32_t KelvorMHABackend::tokens(HeadIndex head) const { return ctx_->head(head).store.count; }

void KelvorMHABackend::append_checked(HeadIndex head, const float* key, const float* val, int32_t pos) {
    const VectorFault fault = storable_fault(key, val, settings_.head_dim);
    if (fault != VectorFault::none) throw std::invalid_argument(storable_refusal(fault, std::string()));
    head_append(ctx_->head(head), key, val, pos);
}

void KelvorMHABackend::compute_checked(HeadIndex head, const float* query, float* out) const {
    head_attend(ctx_->head(head), query, out);
}

bool KelvorMHABackend::compute_rows(HeadIndex head, const float* queries, int64_t n, float* out,
                                    const StopPoll* stop) const {
    return layer::compute_rows(*ctx_, head, queries, n, out, stop);
}

void KelvorMHABackend::append_layer(const float* keys, const float* vals, int32_t pos) {
    layer::append_heads(*ctx_, keys, vals, pos);
}

bool KelvorMHABackend::append_tokens(const float* keys, const float* vals, TokenPositions at, const StopPoll* stop) {
    return layer::append_tokens(*ctx_, keys, vals, at, stop);
}

bool KelvorMHABackend::append_tokens_copied(const float* keys, const float* vals, TokenPositions at,
                                            const StopPoll* stop, bool name_token,
                                            const StoreOutside& outside) {
    return layer::append_tokens_copied(*ctx_, keys, vals, at, stop, name_token, outside);
}

bool KelvorMHABackend::append_compute_layer(const float* keys, const float* vals, TokenPositions at,
                                            const float* queries, int32_t n_query_heads, float* out,
                                            const StopPoll* stop) {
    return layer::append_compute_heads(*ctx_, keys, vals, at, queries, n_query_heads, out, stop);
}

bool KelvorMHABackend::compute_layer(const float* queries, int32_t n_query_heads, int64_t rows, float* out,
                                     const StopPoll* stop) const {
    return layer::compute_heads(*ctx_, queries, n_query_heads, rows, out, stop);
}

}  // namespace kelvor
