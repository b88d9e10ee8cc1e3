#pragma once
#include <cstdint>
#include <vector>

#include "core/aligned_bytes.h"
#include "core/codebook.h"
#include "core/encoding.h"
#include "core/limits.h"

namespace kelvor {

struct HeadRotation {
    std::vector<int8_t> signs;  // P entries, each +1 or -1; fixed for the head's life
    int32_t dim = 0;            // head_dim
    int32_t P = 0;              // padded dimension, a power of two
};

// Ring of packed key and value streams. Slot s starts at byte s * bytes_per_vec.
// Every array starts zeroed and commits memory only as slots are written; the
// scales of slots that hold no token are never read.
struct CodeStore {
    AlignedBytes key_codes;
    AlignedBytes val_codes;
    ZeroedArray<float> key_scales;
    ZeroedArray<float> val_scales;
    ZeroedArray<uint32_t> positions;  // kept for the caller; nothing reads it
    int32_t capacity = 0;
    int32_t bits = 0;
    Codebook codebook{};  // the levels and thresholds of `bits` the codes refer to
    int32_t bytes_per_vec = 0;
    int32_t write_slot = 0;
    int32_t count = 0;
    // Set once an append has replaced a held token; the exact window then no
    // longer describes the ring and must not answer.
    bool wrapped = false;
};

// The fitted encoding's per-head statistics. They are fixed once, from the
// tokens appended since init/reset, when the head first has to answer from
// codes, and every stored token is coded with them; reset clears them.
// A key is coded as (key - key_mean) / key_divisor and a value as
// value - val_mean; a query is multiplied by key_divisor, which leaves every
// score shifted by the same amount, and val_mean is added to the answer.
struct FittedStats {
    bool ready = false;
    std::vector<float> key_mean;     // head_dim entries each
    std::vector<float> val_mean;
    std::vector<float> key_divisor;
};

struct HeadCache {
    HeadRotation rotation;
    CodeStore store;
    int32_t head_dim = 0;
    int32_t P = 0;
    int32_t bits = 0;
    float v_mass = 0.0f;          // recorded, read by nothing
    int32_t exact_window = kExactWindow;
    std::vector<float> exact;     // first tokens since init/reset: key floats then value floats
    int32_t hybrid_thresh = 0;    // recorded, read by nothing
    Encoding encoding = Encoding::clip3;
    FittedStats fitted;           // sized only for the fitted encoding
};

// 64-bit xorshift (13, 7, 17); seed 0 is replaced by a fixed non-zero state.
void make_sign_diagonal(int8_t* signs, int32_t P, uint64_t seed);

// Expects settings already validated (1 <= head_dim <= 1024, bits in {2,3,4},
// 1 <= capacity <= kMaxCapacity). Throws std::bad_alloc when memory runs out.
void head_cache_init(HeadCache& head, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed,
                     float v_mass, Encoding encoding = Encoding::clip3);
// Bytes head_cache_init allocates for these settings (its rings, scales,
// positions, exact window, signs and statistics), so that a context can be
// weighed before any of it exists.
uint64_t head_cache_bytes(int32_t head_dim, int32_t bits, int32_t capacity, Encoding encoding);
// Empties the head; buffers, scales and positions keep their contents.
void head_cache_reset(HeadCache& head);
// Releases every buffer the head owns.
void head_cache_destroy(HeadCache& head);

// Tokens whose raw key and value sit in the exact window.
inline int32_t exact_tokens(const HeadCache& head) {
    return head.head_dim == 0 ? 0 : static_cast<int32_t>(head.exact.size() / (2 * static_cast<size_t>(head.head_dim)));
}

}  // namespace kelvor
