#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "backend/mha_context.h"
#include "core/support/vector_check.h"

namespace kelvor {

// Whole-layer operations: every head of the context in one call, shared out
// over the context's threads in pieces (a head, or a block of a head's query
// rows). Each head is written by one thread only, and every piece runs the
// same per-head functions as the head-indexed operations, so results do not
// depend on the number of threads. Not safe to call concurrently with any
// other operation on the same context.
//
// A refusal is a std::invalid_argument naming what is wrong, thrown before
// any head changes unless said. The operations taking a StopPoll ask it
// between pieces, on the calling thread only; once it returns true they
// return false with nothing stored (an append is asked only before it stores
// anything) and out partly written.

// A non-finite coordinate, or a norm whose square overflows, in a key or value
// would poison every later answer of its head. The fault of a key and value
// of n floats each: not_finite before norm_overflows, none when both can be stored.
VectorFault storable_fault(const float* key, const float* val, int64_t n);
// The refusal of a key and value with that fault, in every operation's words:
// `where` names the row among several ("token 2, row 0"), empty for a single pair.
std::string storable_refusal(VectorFault fault, const std::string& where);

// The positions pos ... pos + T - 1 of T tokens, checked to fit in int32:
// only token_positions makes them, so the appends taking them do not check again.
class TokenPositions {
public:
    int32_t first() const { return first_; }
    int64_t count() const { return count_; }

private:
    TokenPositions(int32_t first, int64_t count) : first_(first), count_(count) {}
    friend TokenPositions token_positions(int32_t pos, int64_t T);
    int32_t first_;
    int64_t count_;
};

// Refuses a negative T, or positions beyond int32, naming pos and T.
TokenPositions token_positions(int32_t pos, int64_t T);

// Runs `store` where the rows it was given may change meanwhile (for the
// Python binding: with the GIL released, other Python threads running).
using StoreOutside = std::function<void(const std::function<void()>& store)>;

namespace layer {

// Row h of keys and of vals (n_heads rows of head_dim floats each) goes to
// head h, all at pos. Every row is checked before any head changes, the
// first that cannot be stored (storable_fault) refused by its head.
void append_heads(kelvor_mha_ctx& ctx, const float* keys, const float* vals, int32_t pos);

// T tokens at once: keys and vals hold T blocks of n_heads rows, and block t
// goes in at pos + t, exactly as T calls of append_heads in order would store
// it. Every row is checked before any head changes, a bad one refused by
// token, then head. Then every head's room for the T tokens is made before
// any stores one: when memory runs out, MemoryBudgetError names the bytes,
// and no head has changed (here and in the other appends below).
bool append_tokens(kelvor_mha_ctx& ctx, const float* keys, const float* vals, TokenPositions at,
                   const StopPoll* stop = nullptr);

// append_tokens for a caller whose rows other threads may write to whenever
// `outside` runs: every row is checked first, as there, and then the tokens go
// in a chunk (about 2 MiB of rows) at a time, each stored from a copy through
// `outside`. The first chunk is copied as it is checked; each later one is
// copied and checked again on the calling thread, since `outside` ran in
// between. So what is stored was checked, without a copy of the whole prompt.
// A row that fails only the second check was written to during the call: its
// refusal names it and says how many tokens went in before it. A refused row
// is named by token and head, or (name_token false, for one token) by head alone.
bool append_tokens_copied(kelvor_mha_ctx& ctx, const float* keys, const float* vals, TokenPositions at,
                          const StopPoll* stop, bool name_token, const StoreOutside& outside);

// queries: n_query_heads blocks of `rows` rows of head_dim floats. n_query_heads
// is a positive multiple of n_heads, and query head i reads head
// i / (n_query_heads / n_heads), so one head's query heads lie next to each
// other and are answered as one batch. out has the layout of queries; every row
// is exactly what kelvor_mha_compute gives for that row on its head. Counts
// that do not fit are refused with out untouched.
bool compute_heads(const kelvor_mha_ctx& ctx, const float* queries, int32_t n_query_heads, int64_t rows, float* out,
                   const StopPoll* stop = nullptr);

// A causal block: token t of T (keys and vals as for append_tokens) goes in
// at pos + t, and then row t of queries (n_query_heads rows, query head i
// reading head i / (n_query_heads / n_heads)) is answered over what the heads
// held before the call and tokens 0 ... t. out (T blocks of n_query_heads rows)
// is exactly what T calls of append_heads and compute_heads in turn would
// give, and the heads end the same. Every row is checked first, as
// append_tokens does, storing nothing on a refusal; `stop` is asked only
// before anything is stored, since a block half in would match no sequence of calls.
bool append_compute_heads(kelvor_mha_ctx& ctx, const float* keys, const float* vals, TokenPositions at,
                          const float* queries, int32_t n_query_heads, float* out, const StopPoll* stop = nullptr);

// kelvor_mha_compute_batch over the context's threads, n rows in blocks.
bool compute_rows(const kelvor_mha_ctx& ctx, HeadIndex head, const float* queries, int64_t n, float* out,
                  const StopPoll* stop = nullptr);

}  // namespace layer
}  // namespace kelvor
