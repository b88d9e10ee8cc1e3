#pragma once
#include <cstdint>

#include "backend/mha_context.h"

namespace kelvor {

// Whole-layer operations: every head of the context in one call, shared out
// over the context's workers one head at a time. Each head is touched by one
// thread only, with the same per-head functions as the head-indexed
// operations, so results do not depend on the number of threads. Not safe to
// call concurrently with any other operation on the same context.

// Row h of keys and of vals (n_heads rows of head_dim floats each) goes to
// head h, all at pos. Every row is checked before any head changes: on a NaN
// or infinity, returns -1 with last_error naming the first such row and
// stores nothing. Returns 0 otherwise.
int32_t kelvor_mha_append_heads(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int32_t pos);

// queries: n_query_heads blocks of `rows` rows of head_dim floats. n_query_heads
// is a positive multiple of n_heads, and query head i reads head
// i / (n_query_heads / n_heads), so one head's query heads lie next to each
// other and are answered as one batch. out has the layout of queries; every row
// is exactly what kelvor_mha_compute gives for that row on its head. Returns 0,
// or -1 with last_error and out untouched when the counts do not fit.
int32_t kelvor_mha_compute_heads(const kelvor_mha_ctx* ctx, const float* queries, int32_t n_query_heads,
                                 int64_t rows, float* out);

}  // namespace kelvor
