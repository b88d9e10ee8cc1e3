#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/heads/coded_tokens.h"
#include "core/kernels/kernels.h"
#include "core/support/limits.h"

namespace kelvor {

// A thread's room for appends and attention, so that neither allocates. The
// fixed areas cover the largest padded dimension; the per-token areas grow on
// first need to the largest head served on this thread and are then reused,
// so steady-state calls allocate nothing.
struct AttentionScratch {
    alignas(64) float rotated_queries[kQueryBlock][kQueryStride] = {};
    alignas(64) float value_accumulators[kQueryBlock][kQueryStride] = {};
    // Value sums of the blocks so far, when a head holds more than one block.
    alignas(64) double value_totals[kQueryBlock][kMaxPaddedDim] = {};
    CodedTokens coded;

    // Room for `rows` rows of `tokens` scores each; row r starts at r * tokens.
    float* scores(int32_t rows, int32_t tokens);
    // Room for `floats` floats of full-precision copies read back from float16.
    float* copies(size_t floats);
    // Room for `floats` floats of per-block value sums, 64-byte aligned.
    float* block_sums(size_t floats);

private:
    std::vector<float> scores_;
    std::vector<float> copies_;
    std::vector<float> block_sums_;
};

// The calling thread's, created zeroed on first use.
AttentionScratch& attention_scratch();

// Makes the calling thread's scratch of every layer now: a worker thread that
// cannot have it then fails before its first task, not partway through a call.
void make_thread_scratch();

}  // namespace kelvor
