#pragma once
#include <cstdint>
#include <memory>

#include "backend/backend.h"
#include "backend/layer_ops.h"
#include "backend/mha_context.h"
#include "core/formats/encoding.h"
#include "core/state/settings.h"

namespace kelvor {

// Multi-head backend: owns one HeadCache per head.
class KelvorMHABackend final : public IKelvorBackend {
public:
    // Throws std::invalid_argument naming the setting, its value and the allowed
    // range when a setting cannot work, and MemoryBudgetError naming the bytes
    // when they exceed the machine's memory, both before anything is allocated;
    // throws std::bad_alloc when memory runs out (everything built so far is released).
    KelvorMHABackend(int32_t n_heads, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed, float v_mass,
                     int32_t hybrid_thresh, Encoding encoding = kDefaultEncoding);
    explicit KelvorMHABackend(const ContextSettings& settings);

    void append(int32_t head_idx, const float* key, const float* val, int32_t pos) override;
    int32_t compute(int32_t head_idx, const float* query, float* out) override;
    int32_t compute_batch(int32_t head_idx, const float* queries, int32_t n, float* out) override;
    void reset() override;
    uint64_t kv_bytes() override;
    // Every byte the heads hold now: codes, scales, positions, full-precision
    // windows, statistics, signs and the head records.
    uint64_t memory_bytes() const;
    int32_t n_heads() override { return settings_.n_heads; }
    int32_t head_dim() override { return settings_.head_dim; }

    Encoding encoding() const { return settings_.encoding; }
    const ContextSettings& settings() const { return settings_; }

    // Threads the whole-layer operations use, the caller included; above 1 the
    // context holds the process's worker pool. Throws std::invalid_argument
    // for fewer than 1 and changes nothing then.
    void set_threads(int32_t threads);
    int32_t threads() const { return settings_.threads; }
    // Throws std::out_of_range naming the index and the head count when the
    // context has no such head; the checked index is what the per-head
    // operations below take.
    HeadIndex check_head(int32_t head_idx) const { return checked_head(*ctx_, head_idx); }
    int32_t tokens(HeadIndex head) const;

    // The checked operations, for callers that want exceptions: each refuses
    // what would not work with a std::invalid_argument naming it, nothing
    // stored then. Those taking a StopPoll return false when it stopped them.
    // head_append, refusing a key or value that cannot be stored (storable_fault).
    void append_checked(HeadIndex head, const float* key, const float* val, int32_t pos);
    // head_attend.
    void compute_checked(HeadIndex head, const float* query, float* out) const;
    // On this context, in this order: layer::compute_rows, append_heads,
    // append_tokens, append_tokens_copied, compute_heads, append_compute_heads.
    bool compute_rows(HeadIndex head, const float* queries, int64_t n, float* out, const StopPoll* stop) const;
    void append_layer(const float* keys, const float* vals, int32_t pos);
    bool append_tokens(const float* keys, const float* vals, TokenPositions at, const StopPoll* stop);
    bool append_tokens_copied(const float* keys, const float* vals, TokenPositions at, const StopPoll* stop,
                              bool name_token, const StoreOutside& outside);
    bool compute_layer(const float* queries, int32_t n_query_heads, int64_t rows, float* out,
                       const StopPoll* stop) const;
    bool append_compute_layer(const float* keys, const float* vals, TokenPositions at, const float* queries,
                              int32_t n_query_heads, float* out, const StopPoll* stop);

    kelvor_mha_ctx* context() { return ctx_.get(); }
    const kelvor_mha_ctx* context() const { return ctx_.get(); }

private:
    std::unique_ptr<kelvor_mha_ctx> ctx_;
    ContextSettings settings_;
};

}  // namespace kelvor
