#include "backend/layer_ops.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/attention/attention.h"
#include "core/kernels/kernels.h"
#include "core/support/aligned_bytes.h"
#include "core/support/memory_budget.h"
#include "core/support/vector_check.h"
#include "core/support/workspace.h"

namespace kelvor {

bool run_tasks(const kelvor_mha_ctx* ctx, int32_t count, const std::function<void(int32_t)>& task,
               const StopPoll* stop) {
    if (ctx->pool) return ctx->pool->run(ctx->threads, count, task, stop);
    for (int32_t i = 0; i < count; ++i) {
        if (stop != nullptr && (*stop)()) return false;
        task(i);
    }
    return true;
}

namespace {

// Rows a piece of a compute answers: one pass of the kernels over a head (a
// multiple of it when a call has more than 2^31 pieces). Pieces start at
// multiples of kQueryBlock, as the blocks of one batch call do.
int64_t rows_per_piece(int64_t rows, int64_t heads) {
    int64_t per = kQueryBlock;
    while ((rows + per - 1) / per * heads > std::numeric_limits<int32_t>::max()) per *= 2;
    return per;
}

// Rows of one head that one task answers.
struct Piece {
    const HeadCache* head;
    const float* queries;
    int64_t rows;
    float* out;
};

// Answers every piece. When the pieces are too few to keep the threads busy,
// whole pieces fill as many rounds of all the threads as they can, and the
// pieces left for a last, partial round (all of them, when there are fewer
// pieces than threads) share their tokens out over the threads instead, one
// after another, if their heads hold more than one block of coded tokens.
// The answers are the same either way.
bool answer_pieces(const kelvor_mha_ctx* ctx, int32_t count, const std::function<Piece(int32_t)>& piece,
                   const StopPoll* stop) {
    const auto whole = [&](int32_t i) {
        const Piece p = piece(i);
        head_attend_batch(*p.head, p.queries, p.rows, p.out);
    };
    if (!ctx->pool || count >= 2 * ctx->threads) return run_tasks(ctx, count, whole, stop);
    std::vector<int32_t> by_head, by_tokens;
    int32_t left_over = count < ctx->threads ? count : count % ctx->threads;
    for (int32_t i = count - 1; i >= 0; --i) {
        const bool split = left_over > 0 && splits_tokens(*piece(i).head);
        (split ? by_tokens : by_head).push_back(i);
        if (split) --left_over;
    }
    if (!run_tasks(ctx, static_cast<int32_t>(by_head.size()),
                   [&](int32_t k) { whole(by_head[static_cast<size_t>(k)]); }, stop)) {
        return false;
    }
    const ParallelFor parallel = [&](int32_t n, const std::function<void(int32_t)>& task) {
        return run_tasks(ctx, n, task, stop);
    };
    for (int32_t i : by_tokens) {
        const Piece p = piece(i);
        if (!head_attend_batch_split(kernels(), *p.head, p.queries, p.rows, p.out, parallel)) return false;
    }
    return true;
}

}  // namespace

VectorFault storable_fault(const float* key, const float* val, int64_t n) {
    const VectorFault fk = vector_fault(key, n);
    const VectorFault fv = vector_fault(val, n);
    if (fk == VectorFault::not_finite || fv == VectorFault::not_finite) return VectorFault::not_finite;
    return fk != VectorFault::none ? fk : fv;
}

std::string storable_refusal(VectorFault fault, const std::string& where) {
    if (fault == VectorFault::not_finite) {
        return where.empty() ? "key and val must be finite" : "keys and vals must be finite; " + where + " is not";
    }
    return where.empty() ? "key and val must have a norm below 1.8e19"
                         : "keys and vals must have norms below 1.8e19; " + where + " has not";
}

TokenPositions token_positions(int32_t pos, int64_t T) {
    if (T < 0 || static_cast<int64_t>(pos) + T - 1 > std::numeric_limits<int32_t>::max()) {
        throw std::invalid_argument("the positions pos ... pos + T - 1 must fit in int32; pos " + std::to_string(pos) +
                                    " and T " + std::to_string(T) + " do not");
    }
    return TokenPositions(pos, T);
}

namespace {

// Checks every row of T tokens in memory order, a range of rows per task
// (copied first, when `copies` are given, so each range is checked while in
// cache). The refusal names the first bad row (token, counted from
// first_token, then head); changed_before >= 0 says the row was written to
// during the call, after that many tokens went in. False when stopped.
bool check_rows(const kelvor_mha_ctx* ctx, const float* keys, const float* vals, int64_t T, float* copy_keys,
                float* copy_vals, const StopPoll* stop, bool name_token, int64_t first_token = 0,
                int64_t changed_before = -1) {
    const int64_t hd = ctx->heads[0]->head_dim;
    const int64_t H = ctx->n_heads;
    const int64_t rows = T * H;
    const int64_t per_task = std::max<int64_t>(1, (int64_t{1} << 14) / hd);
    const auto tasks = static_cast<int32_t>((rows + per_task - 1) / per_task);
    std::vector<int64_t> bad(static_cast<size_t>(tasks), rows);
    std::vector<VectorFault> fault(static_cast<size_t>(tasks), VectorFault::none);
    const bool checked = run_tasks(ctx, tasks, [&](int32_t task) {
        const int64_t from = task * per_task;
        const int64_t to = std::min(rows, from + per_task);
        const float* k = keys;
        const float* v = vals;
        if (copy_keys != nullptr) {
            std::memcpy(copy_keys + from * hd, keys + from * hd, static_cast<size_t>((to - from) * hd) * sizeof(float));
            std::memcpy(copy_vals + from * hd, vals + from * hd, static_cast<size_t>((to - from) * hd) * sizeof(float));
            k = copy_keys;
            v = copy_vals;
        }
        for (int64_t r = from; r < to; ++r) {
            const VectorFault f = storable_fault(k + r * hd, v + r * hd, hd);
            if (f != VectorFault::none) {
                bad[static_cast<size_t>(task)] = r;
                fault[static_cast<size_t>(task)] = f;
                return;
            }
        }
    }, stop);
    if (!checked) return false;
    const auto first = std::find_if(bad.begin(), bad.end(), [&](int64_t r) { return r < rows; });
    if (first != bad.end()) {
        const int64_t r = *first;
        const std::string where =
            (name_token ? "token " + std::to_string(first_token + r / H) + ", " : std::string()) + "row " +
            std::to_string(r % H);
        const std::string changed = changed_before < 0 ? std::string()
                                                       : "keys or vals changed while being appended (tokens before " +
                                                             std::to_string(changed_before) + " went in): ";
        throw std::invalid_argument(changed + storable_refusal(fault[static_cast<size_t>(first - bad.begin())], where));
    }
    return true;
}

// Tokens stored at a time: every head's share of about 2 MiB of rows, so each
// head reads its rows while the chunk is in cache.
int64_t tokens_per_chunk(const kelvor_mha_ctx* ctx) {
    return std::max<int64_t>(1, (int64_t{2} << 20) / (int64_t{ctx->n_heads} * ctx->heads[0]->head_dim * 8));
}

// Every head's room for T more tokens, made before any head stores one: when
// memory runs out nothing has changed, and the error names the bytes.
void make_room(kelvor_mha_ctx* ctx, int64_t T, const char* operation = "append_heads") {
    uint64_t bytes = 0;
    for (const auto& head : ctx->heads) bytes += head_cache_growth_bytes(*head, head_room(*head, T));
    if (bytes == 0) return;
    std::vector<HeadGrowth> made;
    try {
        made.reserve(ctx->heads.size());
        for (const auto& head : ctx->heads) made.push_back(head_cache_grow(*head, head_room(*head, T)));
    } catch (const std::bad_alloc&) {
        made.clear();  // first, so that the error tells what is left without them
    }
    if (made.size() != ctx->heads.size()) {
        throw refused_memory(bytes, operation + std::string(" of ") + std::to_string(T) + (T == 1 ? " token to " : " tokens to ") +
                                        std::to_string(ctx->n_heads) + " heads");
    }
    for (size_t h = 0; h < made.size(); ++h) head_cache_take(*ctx->heads[h], made[h]);
}

// Stores T tokens into the room make_room made for them.
void store_rows(kelvor_mha_ctx* ctx, const float* keys, const float* vals, int64_t T, int32_t pos) {
    const int64_t hd = ctx->heads[0]->head_dim;
    const int64_t H = ctx->n_heads;
    const int64_t chunk = tokens_per_chunk(ctx);
    for (int64_t from = 0; from < T; from += chunk) {
        const int64_t to = std::min(T, from + chunk);
        run_tasks(ctx, ctx->n_heads, [&](int32_t h) {
            const int64_t row = (from * H + h) * hd;
            head_append_tokens(*ctx->heads[static_cast<size_t>(h)], keys + row, vals + row,
                               static_cast<size_t>(H * hd), static_cast<int32_t>(to - from),
                               pos + static_cast<int32_t>(from));
        });
    }
}

}  // namespace

namespace layer {

void append_heads(kelvor_mha_ctx& ctx, const float* keys, const float* vals, int32_t pos) {
    check_rows(&ctx, keys, vals, 1, nullptr, nullptr, nullptr, false);
    make_room(&ctx, 1);
    store_rows(&ctx, keys, vals, 1, pos);
}

bool append_tokens(kelvor_mha_ctx& ctx, const float* keys, const float* vals, TokenPositions at,
                   const StopPoll* stop) {
    // Stores are not stopped: a head left half-appended would differ from every call sequence.
    if (!check_rows(&ctx, keys, vals, at.count(), nullptr, nullptr, stop, true)) return false;
    make_room(&ctx, at.count());
    store_rows(&ctx, keys, vals, at.count(), at.first());
    return true;
}

bool append_tokens_copied(kelvor_mha_ctx& ctx, const float* keys, const float* vals, TokenPositions at,
                          const StopPoll* stop, bool name_token, const StoreOutside& outside) {
    const int64_t T = at.count();
    if (T == 0) return true;
    const int64_t row_floats = int64_t{ctx.n_heads} * ctx.heads[0]->head_dim;
    const int64_t chunk = std::min(T, tokens_per_chunk(&ctx));
    const auto chunk_bytes = static_cast<size_t>(chunk * row_floats) * sizeof(float);
    AlignedBytes copy_keys(chunk_bytes);
    AlignedBytes copy_vals(chunk_bytes);
    auto* ck = reinterpret_cast<float*>(copy_keys.data());
    auto* cv = reinterpret_cast<float*>(copy_vals.data());
    // Every row is checked before any is stored: the first chunk copied as it
    // is checked (nothing runs between that and its store), the rest in place.
    if (!check_rows(&ctx, keys, vals, chunk, ck, cv, stop, name_token)) return false;
    if (T > chunk) {
        const int64_t at_row = chunk * row_floats;
        if (!check_rows(&ctx, keys + at_row, vals + at_row, T - chunk, nullptr, nullptr, stop, name_token, chunk)) {
            return false;
        }
    }
    make_room(&ctx, T);
    for (int64_t from = 0; from < T; from += chunk) {
        const int64_t n = std::min(chunk, T - from);
        const int64_t at_row = from * row_floats;
        // Rows copied after other threads ran: only a row written to since the
        // first check can fail here.
        if (from > 0) check_rows(&ctx, keys + at_row, vals + at_row, n, ck, cv, nullptr, name_token, from, from);
        outside([&] { store_rows(&ctx, ck, cv, n, at.first() + static_cast<int32_t>(from)); });
    }
    return true;
}

bool compute_heads(const kelvor_mha_ctx& ctx, const float* queries, int32_t n_query_heads, int64_t rows, float* out,
                   const StopPoll* stop) {
    if (n_query_heads <= 0 || n_query_heads % ctx.n_heads != 0 || rows < 0) {
        throw std::invalid_argument("compute_heads: n_query_heads must be a positive multiple of n_heads and rows "
                                    "must not be negative");
    }
    const int64_t hd = ctx.heads[0]->head_dim;
    const int64_t rows_per_head = static_cast<int64_t>(n_query_heads / ctx.n_heads) * rows;
    if (rows_per_head == 0) return true;
    // Piece i answers rows of head i / pieces.
    const int64_t per = rows_per_piece(rows_per_head, ctx.n_heads);
    const auto pieces = static_cast<int32_t>((rows_per_head + per - 1) / per);
    return answer_pieces(&ctx, ctx.n_heads * pieces, [&](int32_t i) {
        const int32_t h = i / pieces;
        const int64_t first = static_cast<int64_t>(i % pieces) * per;
        const int64_t offset = (h * rows_per_head + first) * hd;
        return Piece{ctx.heads[static_cast<size_t>(h)].get(), queries + offset, std::min(per, rows_per_head - first),
                     out + offset};
    }, stop);
}

bool append_compute_heads(kelvor_mha_ctx& ctx, const float* keys, const float* vals, TokenPositions at,
                          const float* queries, int32_t n_query_heads, float* out, const StopPoll* stop) {
    if (n_query_heads <= 0 || n_query_heads % ctx.n_heads != 0) {
        throw std::invalid_argument("append_compute_heads: n_query_heads must be a positive multiple of n_heads");
    }
    const int64_t T = at.count();
    const int32_t pos = at.first();
    if (!check_rows(&ctx, keys, vals, T, nullptr, nullptr, stop, true)) return false;
    if (T == 0) return true;
    make_room(&ctx, T, "append_compute_heads");
    if (T == 1) {
        // One token: the two whole-layer operations, so a decode step's
        // attention is shared out by tokens when the heads are few.
        store_rows(&ctx, keys, vals, 1, pos);
        return compute_heads(ctx, queries, n_query_heads, 1, out, nullptr);
    }
    // Each head takes its tokens in order, answering its query rows after each.
    const KernelTable& kt = kernels();
    const int64_t hd = ctx.heads[0]->head_dim;
    const int64_t H = ctx.n_heads;
    const int64_t group = n_query_heads / H;
    run_tasks(&ctx, ctx.n_heads, [&](int32_t h) {
        HeadCache& head = *ctx.heads[static_cast<size_t>(h)];
        for (int64_t t = 0; t < T; ++t) {
            const int64_t row = (t * H + h) * hd;
            head_append_tokens(kt, head, keys + row, vals + row, static_cast<size_t>(H * hd), 1,
                               pos + static_cast<int32_t>(t));
            const int64_t q_row = (t * n_query_heads + h * group) * hd;
            head_attend_batch(kt, head, queries + q_row, group, out + q_row);
        }
    });
    return true;
}

bool compute_rows(const kelvor_mha_ctx& ctx, HeadIndex head_idx, const float* queries, int64_t n, float* out,
                  const StopPoll* stop) {
    if (n < 0) throw std::invalid_argument("compute_rows: n must not be negative");
    const HeadCache& head = ctx.head(head_idx);
    const int64_t hd = head.head_dim;
    const int64_t per = rows_per_piece(n, 1);
    return answer_pieces(&ctx, static_cast<int32_t>((n + per - 1) / per), [&](int32_t i) {
        const int64_t first = static_cast<int64_t>(i) * per;
        return Piece{&head, queries + first * hd, std::min(per, n - first), out + first * hd};
    }, stop);
}

}  // namespace layer
}  // namespace kelvor
