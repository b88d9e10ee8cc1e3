#pragma once
#include <cstdint>
#include <vector>

#include "core/formats/codebook.h"
#include "core/formats/encoding.h"
#include "core/heads/scale_array.h"
#include "core/support/aligned_bytes.h"
#include "core/support/limits.h"

namespace kelvor {

// The steps of an encoding (core/codecs/codec.h, a layer up): a head holds
// its codec and never calls it.
class Codec;

struct HeadRotation {
    std::vector<int8_t> signs;  // P entries, each +1 or -1; fixed for the head's life
    int32_t dim = 0;            // head_dim
    int32_t P = 0;              // padded dimension, a power of two
};

// Ring of packed key and value streams. Key slot s starts at byte
// s * bytes_per_vec, value slot s at byte s * val_bytes_per_vec. The arrays are
// made on the first append (an empty head costs no ring) and start zeroed; the
// scales of slots that hold no token are never read. Rings large enough to be
// mapped from the kernel get every slot at once and commit memory as slots are
// written; smaller ones hold `slots` slots and double, up to capacity, while
// the ring first fills, so memory follows the tokens held either way.
struct CodeStore {
    AlignedBytes key_codes;
    AlignedBytes val_codes;
    ScaleArray key_scales;
    ScaleArray val_scales;
    ZeroedArray<uint32_t> positions;  // kept for the caller; nothing reads it
    bool keeps_positions = true;      // false: positions stays empty
    int32_t capacity = 0;
    int32_t bits = 0;     // key width
    Codebook codebook{};  // the levels and thresholds of `bits` the key codes refer to
    int32_t bytes_per_vec = 0;
    // Values may be coded at a width of their own; by default the key width.
    int32_t val_bits = 0;
    Codebook val_codebook{};
    int32_t val_bytes_per_vec = 0;
    int32_t write_slot = 0;
    int32_t count = 0;
    int32_t slots = 0;    // slots the arrays hold now
    int32_t touched = 0;  // slots ever written since the arrays were made (reset keeps them)
    // Set once an append has replaced a held token; the exact window then no
    // longer describes the ring and must not answer.
    bool wrapped = false;
};

// A codec's per-head state, which only the codec reads (its statistics, for
// one that keeps them): its arrays of head_dim floats each, in the order the
// codec declares them, sized when the head is made so that fixing them
// allocates nothing; `ready` once fixed, until reset.
struct CodecState {
    bool ready = false;
    std::vector<float> floats;
};

// What a head takes from its codec when it is made.
struct HeadCodec {
    const Codec* codec = nullptr;
    Codebook key_codebook{};  // of the key width
    Codebook val_codebook{};  // of the value width
    int32_t state_arrays = 0;
};

// A growable array of full-precision tokens.
using FloatWindow = std::vector<float, PageAllocator<float>>;

// Opt-in per-head accuracy options; zeros leave a head exactly as without them.
struct HeadOptions {
    int32_t value_bits = 0;  // value code width; 0 for the key width (value_width)
    int32_t recent = 0;      // newest tokens also kept at full precision
    int32_t sinks = 0;       // first tokens since init/reset kept at full precision for good
    bool half_copies = false;  // the recent tokens and the sinks kept as float16 once the head codes
    ScaleKind scale_kind = ScaleKind::float32;  // how the per-token scales are kept
    bool no_positions = false;     // the positions given to append not stored (nothing reads them)
    int32_t key_group = 0;         // keys coded against the mean of each group of this many tokens; 0: off
    int32_t value_refine = 0;      // newest coded values read with half-cell bits; 0: off
    bool value_dither = false;     // values coded with a subtractive dither (core/formats/dither.h)
};

// The value code width these options give heads of key width `bits`.
constexpr int32_t value_width(const HeadOptions& options, int32_t bits) {
    return options.value_bits != 0 ? options.value_bits : bits;
}

struct HeadCache {
    HeadRotation rotation;
    CodeStore store;
    int32_t head_dim = 0;
    int32_t P = 0;
    int32_t bits = 0;
    float v_mass = 0.0f;          // recorded, read by nothing
    int32_t exact_window = kExactWindow;
    // First tokens since init/reset, key floats then value floats. It grows
    // with the tokens and, once the head answers from codes (for good, until
    // reset), shrinks to the sinks: nothing else reads it after that.
    FloatWindow exact;
    bool window_released = false;
    int32_t hybrid_thresh = 0;    // recorded, read by nothing
    Encoding encoding = kDefaultEncoding;
    const Codec* codec = nullptr;  // the encoding's steps
    CodecState codec_state;
    int32_t sinks = 0;
    int32_t recent_window = 0;
    // The newest min(recent_window, capacity) tokens at full precision: the
    // token appended as number i (since init/reset) sits at entry
    // i % recent_slots(), key floats then value floats.
    FloatWindow recent;
    int64_t appended = 0;         // tokens appended since init/reset
    // The recent ring, and the window once released (the sinks), hold float16
    // copies, two to a float (core/formats/half.h); the window stays float32
    // while the head answers from it.
    bool half_copies = false;
    // Key groups (key_group > 0): tokens appended as numbers g*G .. g*G+G-1
    // since init/reset form group g. Each key is coded minus its group's
    // offset (the group's mean key less the codec's own centre, as bfloat16),
    // which a score adds back as q . offset; a key's codes wait until its group
    // is complete, and until then it is scored from pending_keys (entry i % G,
    // float32) while its value is coded at once. Offset of group g at entry
    // g % key_offset_entries(): a ring of them, one more than the groups the
    // token ring can span, grown with the token ring while it first fills
    // (group g stays at entry g until the ring wraps).
    int32_t key_group = 0;
    ZeroedArray<uint16_t> key_offsets;
    ZeroedArray<float> pending_keys;
    int32_t offsets_touched = 0;  // entries ever written (reset zeroes them)
    // Refined values (value_refine > 0): every value coded also keeps its
    // half-cell bits (core/formats/half_cells.h), the token appended as number
    // i at entry i % refined_entries(), so that the newest value_refine coded
    // tokens, those just older than the recent window, have theirs. Their
    // values are read at the next width through half_levels.
    int32_t value_refine = 0;
    ZeroedArray<uint8_t> half_bits;
    float half_levels[1 << kMaxBits] = {};
    // Every coded value of the head was coded plus the dither pattern of its
    // append index, which its readers take off (refined ones included).
    bool value_dither = false;
};

// Entries of the ring of half-cell bits: the refined tokens and the recent
// ones newer than them, at most the ring's capacity (0 without refined values).
inline int32_t refined_entries(int32_t value_refine, int32_t recent, int32_t capacity) {
    if (value_refine == 0) return 0;
    const int64_t entries = int64_t{value_refine} + (recent < capacity ? recent : capacity);
    return static_cast<int32_t>(entries < capacity ? entries : capacity);
}
inline int32_t refined_entries(const HeadCache& head) {
    return refined_entries(head.value_refine, head.recent_window, head.store.capacity);
}

// Entries of the ring of key-group offsets (0 without key groups).
inline int32_t key_offset_entries(int32_t key_group, int32_t capacity) {
    return key_group == 0 ? 0 : (capacity + key_group - 1) / key_group + 1;
}

// Held tokens whose keys wait for their group: the newest, up to the head's count.
inline int32_t pending_key_tokens(const HeadCache& head) {
    if (head.key_group == 0) return 0;
    const auto waiting = static_cast<int32_t>(head.appended % head.key_group);
    return waiting < head.store.count ? waiting : head.store.count;
}

// 64-bit xorshift (13, 7, 17); seed 0 is replaced by a fixed non-zero state.
void make_sign_diagonal(int8_t* signs, int32_t P, uint64_t seed);

// Expects settings already validated (1 <= head_dim <= 1024, bits in {2,3,4},
// 1 <= capacity <= kMaxCapacity). Throws std::bad_alloc when memory runs out.
// `codec` is the encoding's, at the head's widths: the codecs sit a layer up,
// so the caller finds it (core/attention/attention.h has the forms that take
// the encoding alone).
void head_cache_init(HeadCache& head, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed,
                     float v_mass, Encoding encoding, const HeadCodec& codec, const HeadOptions& options = {});
// Makes sure the ring's arrays hold at least `slots` slots (at most capacity),
// keeping what they hold: appends and restores call it. Throws std::bad_alloc
// when memory runs out, with the head unchanged.
void head_cache_make_ring(HeadCache& head, int32_t slots = 1);

// What a head is to hold before an append stores anything: ring slots and
// floats of room in the full-precision windows. What it has already stays.
struct HeadRoom {
    int32_t slots = 0;
    size_t exact_floats = 0;
    size_t recent_floats = 0;
};

// Buffers made for a HeadRoom, not yet the head's. A whole-layer append makes
// every head's before any head changes, so that running out of memory changes
// nothing anywhere.
constexpr size_t kRingArrays = 5;
struct HeadGrowth {
    AlignedBytes ring[kRingArrays];  // key codes, value codes, key scales, value scales, positions
    AlignedBytes key_offsets;        // with key groups, grown with the ring
    int32_t slots = 0;
    FloatWindow exact, recent;
};
// Bytes head_cache_grow would ask for (0 when the head has the room).
uint64_t head_cache_growth_bytes(const HeadCache& head, const HeadRoom& room);
// Throws std::bad_alloc when memory runs out; the head is only read.
HeadGrowth head_cache_grow(const HeadCache& head, const HeadRoom& room);
// Moves the buffers in, with what the head holds; cannot fail.
void head_cache_take(HeadCache& head, HeadGrowth& growth) noexcept;
// The most a head of these settings can hold (its rings, scales, positions,
// full-precision windows, signs and statistics), so that a context can be
// weighed before any of it exists.
uint64_t head_cache_bytes(int32_t head_dim, int32_t bits, int32_t capacity, int32_t state_arrays,
                          const HeadOptions& options = {});
// What the head holds now: the ring's committed part, the full-precision
// windows, signs, statistics and the record itself.
uint64_t head_cache_held_bytes(const HeadCache& head);
// Shrinks the window to the sinks for good (until reset): once a head answers
// from codes it does so until reset, and nothing reads the rest again.
void head_cache_release_window(HeadCache& head);
// Empties the head; buffers, scales and positions keep their contents.
void head_cache_reset(HeadCache& head);
// Releases every buffer the head owns.
void head_cache_destroy(HeadCache& head);

// Entries of the recent ring.
inline int32_t recent_slots(const HeadCache& head) {
    return head.recent_window < head.store.capacity ? head.recent_window : head.store.capacity;
}

// Floats a token's key and value take in a full-precision array: 2 * head_dim,
// or head_dim when they are float16 copies.
inline size_t copy_floats(const HeadCache& head, bool half) {
    return (half ? 1 : 2) * static_cast<size_t>(head.head_dim);
}
inline bool window_is_half(const HeadCache& head) { return head.half_copies && head.window_released; }

// Tokens whose raw key and value sit in the exact window.
inline int32_t exact_tokens(const HeadCache& head) {
    return head.head_dim == 0 ? 0 : static_cast<int32_t>(head.exact.size() / copy_floats(head, window_is_half(head)));
}

// A token's key and value into `to` (copy_floats floats), as float16 when half.
void put_copy(float* to, const float* key, const float* val, int32_t head_dim, bool half);
// A stored copy back into key and value floats.
void get_copy(const float* from, float* key, float* val, int32_t head_dim, bool half);

}  // namespace kelvor
