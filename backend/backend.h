#pragma once
#include <cstdint>

namespace kelvor {

// An attention backend over a fixed set of heads.
class IKelvorBackend {
public:
    virtual ~IKelvorBackend() = default;
    virtual void append(int32_t head_idx, const float* key, const float* val, int32_t pos) = 0;
    virtual int32_t compute(int32_t head_idx, const float* query, float* out) = 0;
    virtual int32_t compute_batch(int32_t head_idx, const float* queries, int32_t n, float* out) = 0;
    virtual void reset() = 0;
    virtual uint64_t kv_bytes() = 0;
    virtual int32_t n_heads() = 0;
    virtual int32_t head_dim() = 0;
};

}  // namespace kelvor
