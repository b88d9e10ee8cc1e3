#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>

#include "core/codecs/codec.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"

namespace kelvor {

// A head of an encoding: head_cache_init and head_cache_bytes with the
// encoding's codec, which the heads layer below cannot look up itself.
inline void head_cache_init(HeadCache& head, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed,
                            float v_mass, Encoding encoding = kDefaultEncoding, const HeadOptions& options = {}) {
    head_cache_init(head, head_dim, bits, capacity, seed, v_mass, encoding,
                    head_codec(encoding, bits, value_width(options, bits)), options);
}
inline uint64_t head_cache_bytes(int32_t head_dim, int32_t bits, int32_t capacity, Encoding encoding,
                                 const HeadOptions& options = {}) {
    return head_cache_bytes(head_dim, bits, capacity, codec_of(encoding).state_arrays(), options);
}

// Stores one token: key and value encoded into the next ring slot, and while
// fewer than 512 tokens were appended since init/reset, kept raw in the exact window.
void head_append(const KernelTable& kt, HeadCache& head, const float* key, const float* val, int32_t pos);
void head_append(HeadCache& head, const float* key, const float* val, int32_t pos);

// The room `tokens` more appends grow a head into, as they would one at a
// time: a caller that makes it first (head_cache_grow) makes the appends
// themselves allocate nothing.
HeadRoom head_room(const HeadCache& head, int64_t tokens);

// n tokens appended in order at pos ... pos + n - 1, token t's key and value at
// keys + t * stride and vals + t * stride: the same head as n head_append
// calls, with the tokens coded a group at a time.
void head_append_tokens(const KernelTable& kt, HeadCache& head, const float* keys, const float* vals, size_t stride,
                        int32_t n, int32_t pos);
void head_append_tokens(HeadCache& head, const float* keys, const float* vals, size_t stride, int32_t n,
                        int32_t pos);

// Softmax attention of one query over the held tokens; writes head_dim floats
// (zeros for an empty head) and returns the number of tokens attended. The
// query is read in full before out is written, so they may alias.
int32_t head_attend(const KernelTable& kt, const HeadCache& head, const float* query, float* out);
int32_t head_attend(const HeadCache& head, const float* query, float* out);

// n queries, row-major; row i of out is exactly head_attend of row i.
// Returns the head's count, also when n is 0.
int32_t head_attend_batch(const KernelTable& kt, const HeadCache& head, const float* queries, int64_t n,
                          float* out);
int32_t head_attend_batch(const HeadCache& head, const float* queries, int64_t n, float* out);

// Runs task(i) for every i in [0, count), perhaps on several threads at once;
// false if it stopped before all had run.
using ParallelFor = std::function<bool(int32_t count, const std::function<void(int32_t)>& task)>;

// True when a head answers from more than one block of kSumBlock coded tokens:
// the heads whose attention head_attend_batch_split shares out by tokens.
bool splits_tokens(const HeadCache& head);

// head_attend_batch with each block of queries' token work shared out through
// `parallel`: scores by blocks of tokens, each row's softmax, then value sums
// by blocks, added up in block order; the same pass as on one thread, so the
// answers are the same bit for bit. A head that does not split runs whole as
// one task. False, with out partly written, if `parallel` stopped.
bool head_attend_batch_split(const KernelTable& kt, const HeadCache& head, const float* queries, int64_t n,
                             float* out, const ParallelFor& parallel);

// True while the exact window holds every token the ring holds.
bool answers_exactly(const HeadCache& head);

}  // namespace kelvor
