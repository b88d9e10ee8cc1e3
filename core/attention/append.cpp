#include <algorithm>
#include <cstring>

#include "core/attention/attention.h"
#include "core/attention/scratch.h"
#include "core/codecs/encoder.h"
#include "core/formats/bfloat16.h"
#include "core/formats/half_cells.h"

namespace kelvor {

namespace {

// Entry t of `coded` into ring slot `slot`: the key's codes and scale, the value's, or both.
void place_key(CodeStore& store, int32_t slot, const CodedTokens& coded, int32_t t) {
    const auto key_bytes = static_cast<size_t>(store.bytes_per_vec);
    std::memcpy(store.key_codes.data() + static_cast<size_t>(slot) * key_bytes, coded.key[t], key_bytes);
    store.key_scales.set(static_cast<size_t>(slot), coded.key_scale[t]);
}

// The value of the token appended as number `index`, with its half-cell bits
// where the head keeps them.
void place_value(HeadCache& head, int32_t slot, int64_t index, const CodedTokens& coded, int32_t t) {
    CodeStore& store = head.store;
    const auto val_bytes = static_cast<size_t>(store.val_bytes_per_vec);
    std::memcpy(store.val_codes.data() + static_cast<size_t>(slot) * val_bytes, coded.val[t], val_bytes);
    store.val_scales.set(static_cast<size_t>(slot), coded.val_scale[t]);
    if (head.value_refine == 0) return;
    const auto bytes = static_cast<size_t>(half_bits_bytes(head.rotation.P));
    const auto entry = static_cast<size_t>(index % refined_entries(head));
    std::memcpy(head.half_bits.data() + entry * bytes, coded.val_half[t], bytes);
}

void place_codes(HeadCache& head, int32_t slot, int64_t index, const CodedTokens& coded, int32_t t) {
    place_key(head.store, slot, coded, t);
    place_value(head, slot, index, coded, t);
}

void clear_key(CodeStore& store, int32_t slot) {
    const auto key_bytes = static_cast<size_t>(store.bytes_per_vec);
    std::memset(store.key_codes.data() + static_cast<size_t>(slot) * key_bytes, 0, key_bytes);
    store.key_scales.set(static_cast<size_t>(slot), 0.0f);
}

void clear_codes(HeadCache& head, int32_t slot) {
    CodeStore& store = head.store;
    clear_key(store, slot);
    const auto val_bytes = static_cast<size_t>(store.val_bytes_per_vec);
    std::memset(store.val_codes.data() + static_cast<size_t>(slot) * val_bytes, 0, val_bytes);
    store.val_scales.set(static_cast<size_t>(slot), 0.0f);
}

// The ring slot of the held token appended as number `index` since init/reset.
int32_t slot_of(const HeadCache& head, int64_t index) {
    const int64_t cap = head.store.capacity;
    return static_cast<int32_t>(((head.store.write_slot - (head.appended - index)) % cap + cap) % cap);
}

// Group g is complete; key_of(i) is the key appended as number i, for each
// of its tokens. Fixes the group's offset and codes the keys the ring still
// holds minus it. The offset is the group's mean less the codec's centre,
// rounded to bfloat16; a key is coded minus that rounded offset and a score
// adds back exactly what was taken, so the rounding only moves the centring.
template <class KeyOf>
void code_key_group(const KernelTable& kt, HeadCache& head, int64_t g, KeyOf&& key_of) {
    const int32_t G = head.key_group;
    const int32_t hd = head.head_dim;
    const int64_t lo = g * G;
    double sum[kMaxHeadDim] = {};
    for (int64_t i = lo; i < lo + G; ++i) {
        const float* k = key_of(i);
        for (int32_t j = 0; j < hd; ++j) sum[j] += static_cast<double>(k[j]);
    }
    const float* centre = head.codec->key_offset(head);
    const int32_t entry = static_cast<int32_t>(g % key_offset_entries(G, head.store.capacity));
    uint16_t* offset = head.key_offsets.data() + static_cast<size_t>(entry) * static_cast<size_t>(hd);
    float taken[kMaxHeadDim];
    for (int32_t j = 0; j < hd; ++j) {
        const auto mean = static_cast<float>(sum[j] / G);
        offset[j] = bfloat16_from_float(centre != nullptr ? mean - centre[j] : mean);
        taken[j] = float_from_bfloat16(offset[j]);
    }
    head.offsets_touched = std::max(head.offsets_touched, entry + 1);
    CodedTokens& coded = attention_scratch().coded;
    float shifted[kMaxHeadDim];
    for (int64_t i = std::max(lo, head.appended - head.store.count); i < lo + G; ++i) {
        const float* k = key_of(i);
        for (int32_t j = 0; j < hd; ++j) shifted[j] = k[j] - taken[j];
        head.codec->encode_keys(kt, head, 1, shifted, 0, coded);
        place_key(head.store, slot_of(head, i), coded, 0);
    }
}

const float* pending_key(const HeadCache& head, int64_t index) {
    return head.pending_keys.data() + static_cast<size_t>(index % head.key_group) * static_cast<size_t>(head.head_dim);
}

void keep_recent(HeadCache& head, int64_t index, const float* key, const float* val) {
    const size_t token = copy_floats(head, head.half_copies);
    const auto slots = static_cast<size_t>(recent_slots(head));
    const size_t at = static_cast<size_t>(index % static_cast<int64_t>(slots)) * token;
    // Filling for the first time since init/reset, into room made beforehand.
    if (head.recent.size() <= at) head.recent.resize(at + token);
    put_copy(head.recent.data() + at, key, val, head.head_dim, head.half_copies);
}

// One-byte scales cover 8 or 16 octaves: each of the head's two arrays places
// them around the typical scale of the tokens it is about to code (their mean
// log step), before any is stored. Keys are measured without their group
// offsets, which only make scales smaller, far less than the range allows.
void place_scale_ranges(const KernelTable& kt, HeadCache& head, const AppendedTokens& tokens, CodedTokens& coded) {
    int64_t key_steps = 0, val_steps = 0, keys = 0, vals = 0;
    for (int32_t i = tokens.count - head.store.count; i < tokens.count; ++i) {
        head.codec->encode_tokens(kt, head, 1, i, tokens.key_of(i), tokens.val_of(i), 0, coded);
        // A zero scale (a vector at the centre) has no logarithm and no say.
        if (coded.key_scale[0] > 0.0f) key_steps += log_scale_step(coded.key_scale[0], kKeyLogScales.steps), ++keys;
        if (coded.val_scale[0] > 0.0f) val_steps += log_scale_step(coded.val_scale[0], kValueLogScales.steps), ++vals;
    }
    head.store.key_scales.set_base(log_scale_base(key_steps, keys, kKeyLogScales));
    head.store.val_scales.set_base(log_scale_base(val_steps, vals, kValueLogScales));
}

// The append after which a head whose codes were not ready answers from its
// codes: the first time the ring replaced a token, or outgrew the window. The
// codec fixes its statistics from the tokens appended since init/reset, and
// every held token is coded with them.
void start_coding(const KernelTable& kt, HeadCache& head, const float* key, const float* val) {
    const CodeStore& store = head.store;
    const AppendedTokens tokens{head.exact.data(), exact_tokens(head), store.wrapped ? store.capacity + 1 : store.count,
                                head.head_dim, key, val};
    head.codec->fix_stats(head, tokens);
    CodedTokens& coded = attention_scratch().coded;
    if (store.key_scales.kind() == ScaleKind::log8) place_scale_ranges(kt, head, tokens, coded);
    if (head.key_group == 0) {
        for (int32_t i = tokens.count - store.count; i < tokens.count; ++i) {
            head.codec->encode_tokens(kt, head, 1, i, tokens.key_of(i), tokens.val_of(i), 0, coded);
            place_codes(head, i % store.capacity, i, coded, 0);
        }
        return;
    }
    // Values now; keys by complete groups, the newest group's waiting for the rest of it.
    for (int32_t i = tokens.count - store.count; i < tokens.count; ++i) {
        head.codec->encode_values(kt, head, 1, i, tokens.val_of(i), 0, coded);
        place_value(head, i % store.capacity, i, coded, 0);
    }
    const auto key_of = [&](int64_t i) { return tokens.key_of(static_cast<int32_t>(i)); };
    const int64_t oldest = tokens.count - store.count;
    for (int64_t g = oldest / head.key_group; (g + 1) * head.key_group <= tokens.count; ++g) {
        code_key_group(kt, head, g, key_of);
    }
}

// One token, whose codes are entry `made` of the workspace's coded tokens when
// they were made beforehand (-1: coded here, if the head codes yet).
void append_one(const KernelTable& kt, HeadCache& head, const float* key, const float* val, int32_t pos,
                int32_t made) {
    CodeStore& store = head.store;
    // Everything that may allocate comes first, so that running out of memory
    // leaves the head as it was.
    const HeadRoom room = head_room(head, 1);
    if (head_cache_growth_bytes(head, room) != 0) {
        HeadGrowth growth = head_cache_grow(head, room);
        head_cache_take(head, growth);
    }
    const int64_t keep = head.window_released ? head.sinks : head.exact_window;
    // A codec with statistics codes nothing until they exist; until then the
    // exact window answers for the head.
    const bool coded_now = head.codec->codes_ready(head);
    const int32_t s = store.write_slot;
    if (coded_now && head.key_group > 0) {
        // The value now; the key when its group is complete.
        CodedTokens& coded = attention_scratch().coded;
        if (made < 0) {
            head.codec->encode_values(kt, head, 1, head.appended, val, 0, coded);
            made = 0;
        }
        place_value(head, s, head.appended, coded, made);
        clear_key(store, s);
    } else if (coded_now) {
        CodedTokens& coded = attention_scratch().coded;
        if (made < 0) {
            head.codec->encode_tokens(kt, head, 1, head.appended, key, val, 0, coded);
            made = 0;
        }
        place_codes(head, s, head.appended, coded, made);
    } else if (s < store.touched) {
        // A slot written before a reset still holds that token's codes, which
        // a saved state would carry: it is made what a fresh head holds.
        clear_codes(head, s);
    }
    if (store.keeps_positions) store.positions[s] = static_cast<uint32_t>(pos);
    store.touched = std::max(store.touched, s + 1);

    store.write_slot = (store.write_slot + 1) % store.capacity;
    if (store.count < store.capacity) {
        ++store.count;
    } else {
        store.wrapped = true;
    }

    // The window holds the first tokens since init/reset: up to its size while
    // it may still answer, up to the sinks after that.
    const int64_t index = head.appended++;
    if (index < keep) {
        const size_t token = copy_floats(head, window_is_half(head));
        head.exact.resize(head.exact.size() + token);
        put_copy(head.exact.data() + head.exact.size() - token, key, val, head.head_dim, window_is_half(head));
    }
    if (head.recent_window > 0) keep_recent(head, index, key, val);
    if (head.key_group > 0) {
        std::copy(key, key + head.head_dim, head.pending_keys.data() + static_cast<size_t>(index % head.key_group) *
                                                                          static_cast<size_t>(head.head_dim));
        if (coded_now && (index + 1) % head.key_group == 0) {
            code_key_group(kt, head, index / head.key_group, [&](int64_t i) { return pending_key(head, i); });
        }
    }
    if (!head.window_released && !answers_exactly(head)) {
        if (!coded_now) start_coding(kt, head, key, val);
        head_cache_release_window(head);
    }
}

// Rows far apart (one head's share of a prompt) defeat the hardware
// prefetchers, which follow a stream within a page: ask for the next group's
// rows while this one is coded.
void prefetch_rows(const float* keys, const float* vals, size_t stride, int32_t head_dim, int32_t first, int32_t n) {
    constexpr int32_t kLine = 64 / sizeof(float);
    for (int32_t t = first; t < first + n; ++t) {
        const size_t row = static_cast<size_t>(t) * stride;
        for (int32_t i = 0; i < head_dim; i += kLine) {
            __builtin_prefetch(keys + row + i);
            __builtin_prefetch(vals + row + i);
        }
    }
}

}  // namespace

HeadRoom head_room(const HeadCache& head, int64_t tokens) {
    const CodeStore& store = head.store;
    const int64_t after = head.appended + tokens;
    HeadRoom room;
    room.slots = static_cast<int32_t>(std::min<int64_t>(store.capacity, int64_t{store.write_slot} + tokens));
    // The window holds every token until the head stops answering from it (the
    // one past the ring or past 512, kept until then), then the sinks.
    const int64_t answering = std::min<int64_t>(int64_t{store.capacity} + 1, head.exact_window);
    const int64_t most = head.window_released ? head.sinks : std::max<int64_t>(answering, head.sinks);
    const size_t token = copy_floats(head, window_is_half(head));
    const auto want = static_cast<size_t>(std::min(after, most)) * token;
    // Grown as appends one at a time grow it: a token's room, then doubling.
    size_t floats = head.exact.capacity();
    while (floats < want) floats = floats == 0 ? token : 2 * floats;
    room.exact_floats = floats;
    if (head.recent_window > 0 && tokens > 0) {
        room.recent_floats = static_cast<size_t>(recent_slots(head)) * copy_floats(head, head.half_copies);
    }
    return room;
}

void head_append(const KernelTable& kt, HeadCache& head, const float* key, const float* val, int32_t pos) {
    append_one(kt, head, key, val, pos, -1);
}

void head_append(HeadCache& head, const float* key, const float* val, int32_t pos) {
    head_append(kernels(), head, key, val, pos);
}

void head_append_tokens(const KernelTable& kt, HeadCache& head, const float* keys, const float* vals, size_t stride,
                        int32_t n, int32_t pos) {
    CodedTokens& coded = attention_scratch().coded;
    for (int32_t t = 0; t < n;) {
        const size_t at = static_cast<size_t>(t) * stride;
        // Until its codec's statistics exist a head codes nothing; once they
        // do, they stay fixed until reset, so a group coded at once is what
        // coding token by token would make.
        if (!head.codec->codes_ready(head)) {
            append_one(kt, head, keys + at, vals + at, pos + t, -1);
            ++t;
            continue;
        }
        const int32_t group = std::min(kEncodeGroup, n - t);
        prefetch_rows(keys, vals, stride, head.head_dim, t + group, std::min(kEncodeGroup, n - t - group));
        if (head.key_group > 0) {
            head.codec->encode_values(kt, head, group, head.appended, vals + at, stride, coded);
        } else {
            head.codec->encode_tokens(kt, head, group, head.appended, keys + at, vals + at, stride, coded);
        }
        for (int32_t i = 0; i < group; ++i) {
            const size_t row = at + static_cast<size_t>(i) * stride;
            append_one(kt, head, keys + row, vals + row, pos + t + i, i);
        }
        t += group;
    }
}

void head_append_tokens(HeadCache& head, const float* keys, const float* vals, size_t stride, int32_t n,
                        int32_t pos) {
    head_append_tokens(kernels(), head, keys, vals, stride, n, pos);
}

}  // namespace kelvor
