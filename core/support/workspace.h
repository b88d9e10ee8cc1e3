#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/support/limits.h"

namespace kelvor {

// Queries answered together by one pass over a head's codes.
constexpr int32_t kQueryBlock = 8;

// Per-query vectors sit one cache line more than a power of two apart: at
// exactly 4 KiB apart, the loads of one query's accumulator would wait on the
// stores to the previous query's (4K aliasing).
constexpr int32_t kQueryStride = kMaxPaddedDim + 16;

// Tokens one append codes together: their key and value sums run in lockstep,
// eight independent chains, enough to keep the adders busy.
constexpr int32_t kEncodeGroup = 4;

// The codes and scales of up to kEncodeGroup tokens, made before they are
// placed in a head's ring.
struct CodedTokens {
    alignas(64) uint8_t key[kEncodeGroup][kMaxStreamBytes] = {};
    alignas(64) uint8_t val[kEncodeGroup][kMaxStreamBytes] = {};
    float key_scale[kEncodeGroup] = {};
    float val_scale[kEncodeGroup] = {};
};

// Per-thread scratch: every encode, rotation and compute on a thread works here
// instead of allocating. The fixed areas cover the largest padded dimension;
// the per-token areas grow on first need to the largest head queried on this
// thread and are then reused, so steady-state calls allocate nothing.
struct ThreadWorkspace {
    char last_error[256] = {};
    // A key and a value per token coded together.
    uint8_t encoder_codes[2 * kEncodeGroup][kMaxPaddedDim] = {};
    alignas(64) float encoder_rotated[2 * kEncodeGroup][kMaxPaddedDim] = {};
    alignas(64) float rotated_queries[kQueryBlock][kQueryStride] = {};
    alignas(64) float value_accumulators[kQueryBlock][kQueryStride] = {};
    // Value sums of the blocks so far, when a head holds more than one block.
    alignas(64) double value_totals[kQueryBlock][kMaxPaddedDim] = {};
    // Rotated queries in the lane order of a SIMD decoder.
    alignas(64) float lane_queries[kQueryBlock][kQueryStride] = {};
    CodedTokens coded;

    // Room for `rows` rows of `tokens` scores each; row r starts at r * tokens.
    float* scores(int32_t rows, int32_t tokens);
    // Room for `floats` floats of full-precision copies read back from float16.
    float* copies(size_t floats);

private:
    std::vector<float> scores_;
    std::vector<float> copies_;
};

// The calling thread's workspace, created zeroed on first use.
ThreadWorkspace& thread_workspace();

// Formats msg into the calling thread's last_error (at most 255 characters).
void set_last_error(const char* msg);
void clear_last_error();
const char* last_error();

}  // namespace kelvor
