#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/worker_pool.h"
#include "core/heads/head_cache.h"

namespace kelvor {

class HeadIndex;

// The handle of the flat head-indexed operations: all heads of one layer.
struct kelvor_mha_ctx {
    std::vector<std::unique_ptr<HeadCache>> heads;
    int32_t n_heads = 0;
    // Threads a call may use, the caller included; above 1, calls share their
    // work out over the process's pool, held here.
    int32_t threads = 1;
    std::shared_ptr<WorkerPool> pool;

    HeadCache& head(HeadIndex index) const;
};

// The one rule for a head index, which each edge words its own way: an
// exception here, last_error in the flat operations.
inline bool has_head(const kelvor_mha_ctx& ctx, int32_t head_idx) { return head_idx >= 0 && head_idx < ctx.n_heads; }

// A head index checked against its context: only checked_head makes one, so
// the operations taking one do not check it again.
class HeadIndex {
public:
    int32_t value() const { return value_; }

private:
    explicit HeadIndex(int32_t value) : value_(value) {}
    friend HeadIndex checked_head(const kelvor_mha_ctx& ctx, int32_t head_idx);
    int32_t value_;
};

// Throws std::out_of_range "head 2 is out of range for a context with 2 heads".
HeadIndex checked_head(const kelvor_mha_ctx& ctx, int32_t head_idx);

inline HeadCache& kelvor_mha_ctx::head(HeadIndex index) const { return *heads[static_cast<size_t>(index.value())]; }

// Runs task(i) for every i in [0, count) over the context's threads; false
// (with the rest skipped) once `stop`, asked between tasks, says so.
bool run_tasks(const kelvor_mha_ctx* ctx, int32_t count, const std::function<void(int32_t)>& task,
               const StopPoll* stop = nullptr);

// Head i is seeded with seed XOR (i * 0xdeadbeefcafe), in 64-bit arithmetic.
constexpr uint64_t head_seed(uint64_t seed, int32_t i) {
    return seed ^ (static_cast<uint64_t>(i) * 0xdeadbeefcafeULL);
}

// -1 and last_error "<op>: head_idx out of range" on a bad index; nothing changes then.
void kelvor_mha_append(kelvor_mha_ctx* ctx, int32_t head_idx, const float* key, const float* val, int32_t pos);
int32_t kelvor_mha_compute(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* query, float* out);
int32_t kelvor_mha_compute_batch(const kelvor_mha_ctx* ctx, int32_t head_idx, const float* queries, int32_t n,
                                 float* out);

}  // namespace kelvor
