#pragma once
#include <cstdint>

namespace kelvor {

// Limits of the data model. The per-thread scratch for one vector is sized by
// kMaxPaddedDim; construction rejects settings outside these ranges.
constexpr int32_t kMaxHeadDim = 1024;
constexpr int32_t kMaxPaddedDim = 1024;
constexpr int32_t kMaxCapacity = 1 << 20;
constexpr int32_t kMaxBits = 4;
constexpr int32_t kMaxStreamBytes = kMaxBits * kMaxPaddedDim / 8;
constexpr int32_t kExactWindow = 512;
// Most newest tokens a head may keep at full precision beside its codes.
constexpr int32_t kMaxRecent = 4096;
// The largest key group: past a few hundred tokens a group's mean no longer follows its keys.
constexpr int32_t kMaxKeyGroup = 256;
constexpr float kNormGuard = 1e-12f;

// Long float32 sums (the softmax denominator, each value coordinate's sum over
// tokens) run in blocks of this many terms: each block is a running sum from
// zero and the blocks add up in double. A block of 4096 keeps the rounding of
// a 2^20-token sum near that of a 4096-token one, and every sum over at most
// 4096 terms (the exact window included) is exactly one running sum.
constexpr int32_t kSumBlock = 4096;

// Bytes of one packed code stream of p codes at the given width.
constexpr int32_t stream_bytes(int32_t bits, int32_t p) { return (bits * p + 7) / 8; }

// Smallest power of two not below head_dim.
constexpr int32_t padded_dim(int32_t head_dim) {
    int32_t p = 1;
    while (p < head_dim) p *= 2;
    return p;
}

}  // namespace kelvor
