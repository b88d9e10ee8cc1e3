#include "core/heads/head_cache.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/formats/half.h"
#include "core/formats/half_cells.h"

namespace kelvor {

void make_sign_diagonal(int8_t* signs, int32_t P, uint64_t seed) {
    uint64_t x = seed != 0 ? seed : 0xdeadbeefcafe1234ULL;
    for (int32_t i = 0; i < P; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        signs[i] = (x & 1u) ? int8_t{1} : int8_t{-1};
    }
}

void head_cache_init(HeadCache& head, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed,
                     float v_mass, Encoding encoding, const HeadCodec& codec, const HeadOptions& options) {
    head.v_mass = v_mass;
    head.head_dim = head_dim;
    head.bits = bits;
    head.exact_window = kExactWindow;

    const int32_t P = padded_dim(head_dim);
    head.rotation.dim = head_dim;
    head.rotation.P = P;
    head.rotation.signs.assign(static_cast<size_t>(P), 0);
    make_sign_diagonal(head.rotation.signs.data(), P, seed);

    head.P = P;
    CodeStore& store = head.store;
    store.capacity = capacity;
    store.bits = bits;
    head.codec = codec.codec;
    store.codebook = codec.key_codebook;
    store.bytes_per_vec = stream_bytes(bits, P);
    store.val_bits = value_width(options, bits);
    store.val_codebook = codec.val_codebook;
    store.val_bytes_per_vec = stream_bytes(store.val_bits, P);
    store.write_slot = 0;
    store.count = 0;
    store.wrapped = false;
    // The ring's arrays wait for the first append: an empty head holds none.
    store.slots = 0;
    store.touched = 0;
    store.key_codes.release();
    store.val_codes.release();
    store.key_scales = ScaleArray(options.scale_kind, kKeyLogScales);
    store.val_scales = ScaleArray(options.scale_kind, kValueLogScales);
    store.positions.release();
    store.keeps_positions = !options.no_positions;

    head.exact = FloatWindow();
    head.window_released = false;
    head.encoding = encoding;
    // Sized now, so that fixing them later allocates nothing an append could fail on.
    head.codec_state = CodecState();
    head.codec_state.floats.assign(static_cast<size_t>(codec.state_arrays) * static_cast<size_t>(head_dim), 0.0f);
    head.sinks = options.sinks;
    head.recent_window = options.recent;
    head.recent = FloatWindow();
    head.appended = 0;
    head.half_copies = options.half_copies;
    // The waiting keys are made now (a group's keys); the offsets grow with the ring.
    head.key_group = options.key_group;
    head.offsets_touched = 0;
    head.key_offsets.release();
    head.pending_keys.release();
    if (options.key_group > 0) {
        head.pending_keys = ZeroedArray<float>(static_cast<size_t>(options.key_group) * static_cast<size_t>(head_dim));
    }
    // A few bits per coordinate of a few hundred tokens: made whole now.
    head.value_refine = options.value_refine;
    head.value_dither = options.value_dither;
    head.half_bits.release();
    if (options.value_refine > 0) {
        head.half_bits = ZeroedArray<uint8_t>(static_cast<size_t>(refined_entries(head)) *
                                              static_cast<size_t>(half_bits_bytes(P)));
        half_cell_levels(store.val_codebook, head.half_levels);
    }
}

void put_copy(float* to, const float* key, const float* val, int32_t head_dim, bool half) {
    if (!half) {
        std::copy(key, key + head_dim, to);
        std::copy(val, val + head_dim, to + head_dim);
        return;
    }
    uint16_t h[2 * kMaxHeadDim];
    for (int32_t j = 0; j < head_dim; ++j) {
        h[j] = half_from_float(key[j]);
        h[head_dim + j] = half_from_float(val[j]);
    }
    std::memcpy(to, h, 2 * sizeof(uint16_t) * static_cast<size_t>(head_dim));
}

void get_copy(const float* from, float* key, float* val, int32_t head_dim, bool half) {
    if (!half) {
        std::copy(from, from + head_dim, key);
        std::copy(from + head_dim, from + 2 * head_dim, val);
        return;
    }
    uint16_t h[2 * kMaxHeadDim];
    std::memcpy(h, from, 2 * sizeof(uint16_t) * static_cast<size_t>(head_dim));
    for (int32_t j = 0; j < head_dim; ++j) {
        key[j] = float_from_half(h[j]);
        val[j] = float_from_half(h[head_dim + j]);
    }
}

namespace {

uint64_t code_bytes(int32_t bytes_per_vec, int32_t capacity) {
    return (static_cast<uint64_t>(bytes_per_vec) * static_cast<uint64_t>(capacity) + 63) / 64 * 64;
}

// Slots a small ring starts with; it doubles from there.
constexpr int32_t kFirstSlots = 16;

// A ring array of `per_slot` bytes a slot, grown to hold `want` slots: the
// size it is made again at, or 0 when it already holds them. An array whose
// whole ring would be mapped from the kernel is made whole at once: its pages
// commit only as slots are written. A smaller one holds `want` slots and is
// made again, larger, as the ring first fills.
size_t grown_size(const AlignedBytes& array, size_t per_slot, int32_t want, int32_t cap, bool lines) {
    const auto bytes = [&](int32_t slots) {
        const size_t n = per_slot * static_cast<size_t>(slots);
        return lines ? (n + 63) / 64 * 64 : n;
    };
    const size_t whole = bytes(cap);
    const size_t size = whole + AlignedBytes::kAlignment >= AlignedBytes::kMappedFrom ? whole : bytes(want);
    return array.data() != nullptr && array.size() >= size ? 0 : size;
}

// That array made, keeping its first `old` slots; empty when it needs no growing.
AlignedBytes grown(const AlignedBytes& array, size_t per_slot, int32_t old, int32_t want, int32_t cap, bool lines) {
    const size_t size = grown_size(array, per_slot, want, cap, lines);
    if (size == 0) return {};
    AlignedBytes made(size);
    if (old > 0) std::memcpy(made.data(), array.data(), per_slot * static_cast<size_t>(old));
    return made;
}

// The ring's slots after growing to hold `slots` (doubling, as appends one at
// a time grow it), or its slots now.
int32_t ring_slots(const CodeStore& store, int32_t slots) {
    if (slots <= store.slots) return store.slots;
    int64_t grown = store.slots == 0 ? kFirstSlots : 2 * int64_t{store.slots};
    while (grown < slots) grown *= 2;
    return static_cast<int32_t>(std::min<int64_t>(store.capacity, grown));
}

// The ring's arrays, in HeadGrowth::ring order, with their bytes per slot and
// whether they are padded to whole lines.
struct RingArray {
    const AlignedBytes* bytes;
    size_t per_slot;
    bool lines;
};
std::array<RingArray, kRingArrays> ring_arrays(const CodeStore& store) {
    return {{{&store.key_codes, static_cast<size_t>(store.bytes_per_vec), true},
             {&store.val_codes, static_cast<size_t>(store.val_bytes_per_vec), true},
             {&store.key_scales.bytes(), store.key_scales.per_slot(), false},
             {&store.val_scales.bytes(), store.val_scales.per_slot(), false},
             {&store.positions.bytes(), store.keeps_positions ? sizeof(uint32_t) : 0, false}}};
}

// Bytes of the key-group offsets for a ring of `slots` slots: the entries
// its groups reach, or all of them at once when they would be mapped from the
// kernel (committed as written).
size_t offsets_size(const HeadCache& head, int32_t slots) {
    const int32_t G = head.key_group;
    const auto entry = static_cast<size_t>(head.head_dim) * sizeof(uint16_t);
    const auto all = static_cast<size_t>(key_offset_entries(G, head.store.capacity));
    if (all * entry + AlignedBytes::kAlignment >= AlignedBytes::kMappedFrom) return all * entry;
    return std::min(all, static_cast<size_t>(key_offset_entries(G, slots))) * entry;
}

// A window's buffer with room for `floats`, holding what it holds; empty when it has the room.
FloatWindow grown_window(const FloatWindow& window, size_t floats) {
    FloatWindow made;
    if (window.capacity() >= floats) return made;
    made.reserve(floats);
    made.insert(made.end(), window.begin(), window.end());
    return made;
}

size_t window_growth_bytes(const FloatWindow& window, size_t floats) {
    return window.capacity() >= floats ? 0 : floats * sizeof(float);
}

}  // namespace

void head_cache_make_ring(HeadCache& head, int32_t slots) {
    HeadGrowth growth = head_cache_grow(head, HeadRoom{slots, 0, 0});
    head_cache_take(head, growth);
}

uint64_t head_cache_growth_bytes(const HeadCache& head, const HeadRoom& room) {
    const CodeStore& store = head.store;
    uint64_t total = window_growth_bytes(head.exact, room.exact_floats) +
                     window_growth_bytes(head.recent, room.recent_floats);
    const int32_t want = ring_slots(store, room.slots);
    if (want == store.slots) return total;
    for (const RingArray& a : ring_arrays(store)) total += grown_size(*a.bytes, a.per_slot, want, store.capacity, a.lines);
    if (head.key_group > 0 && offsets_size(head, want) != head.key_offsets.bytes().size()) total += offsets_size(head, want);
    return total;
}

HeadGrowth head_cache_grow(const HeadCache& head, const HeadRoom& room) {
    const CodeStore& store = head.store;
    HeadGrowth g;
    g.slots = ring_slots(store, room.slots);
    if (g.slots != store.slots) {
        const std::array<RingArray, kRingArrays> arrays = ring_arrays(store);
        for (size_t i = 0; i < arrays.size(); ++i) {
            g.ring[i] = grown(*arrays[i].bytes, arrays[i].per_slot, store.slots, g.slots, store.capacity, arrays[i].lines);
        }
        const size_t offsets = head.key_group > 0 ? offsets_size(head, g.slots) : 0;
        const AlignedBytes& held = head.key_offsets.bytes();
        if (offsets != held.size()) {
            g.key_offsets = AlignedBytes(offsets);
            if (held.size() > 0) std::memcpy(g.key_offsets.data(), held.data(), held.size());
        }
    }
    g.exact = grown_window(head.exact, room.exact_floats);
    g.recent = grown_window(head.recent, room.recent_floats);
    return g;
}

void head_cache_take(HeadCache& head, HeadGrowth& g) noexcept {
    CodeStore& store = head.store;
    if (g.ring[0].data() != nullptr) store.key_codes = std::move(g.ring[0]);
    if (g.ring[1].data() != nullptr) store.val_codes = std::move(g.ring[1]);
    if (g.ring[2].data() != nullptr) store.key_scales.take(std::move(g.ring[2]));
    if (g.ring[3].data() != nullptr) store.val_scales.take(std::move(g.ring[3]));
    if (g.ring[4].data() != nullptr) store.positions = ZeroedArray<uint32_t>(std::move(g.ring[4]));
    if (g.key_offsets.data() != nullptr) head.key_offsets = ZeroedArray<uint16_t>(std::move(g.key_offsets));
    if (g.slots != store.slots) {
        if (store.slots == 0) store.touched = 0;
        store.slots = g.slots;
    }
    if (g.exact.capacity() != 0) head.exact.swap(g.exact);
    if (g.recent.capacity() != 0) head.recent.swap(g.recent);
}

uint64_t head_cache_bytes(int32_t head_dim, int32_t bits, int32_t capacity, int32_t state_arrays,
                          const HeadOptions& options) {
    const auto cap = static_cast<uint64_t>(capacity);
    const auto hd = static_cast<uint64_t>(head_dim);
    const int32_t P = padded_dim(head_dim);
    const int32_t val_bits = value_width(options, bits);
    const uint64_t pad = AlignedBytes::kAlignment;  // the zeroed line past every buffer
    const uint64_t ring = code_bytes(stream_bytes(bits, P), capacity) + code_bytes(stream_bytes(val_bits, P), capacity) +
                          2 * pad + 2 * (cap * ScaleArray::scale_bytes(options.scale_kind) + pad) +
                          (options.no_positions ? 0 : cap * sizeof(uint32_t) + pad);
    const uint64_t token = 2 * hd * sizeof(float);
    const uint64_t window = token * static_cast<uint64_t>(kExactWindow);
    const uint64_t recent = token / (options.half_copies ? 2 : 1) * std::min<uint64_t>(static_cast<uint64_t>(options.recent), cap);
    const uint64_t stats = static_cast<uint64_t>(state_arrays) * hd * sizeof(float);
    const uint64_t groups =
        options.key_group == 0 ? 0
                               : static_cast<uint64_t>(key_offset_entries(options.key_group, capacity)) * hd *
                                         sizeof(uint16_t) + static_cast<uint64_t>(options.key_group) * hd * sizeof(float) + 2 * pad;
    const uint64_t refined =
        options.value_refine == 0 ? 0
                                  : static_cast<uint64_t>(refined_entries(options.value_refine, options.recent, capacity)) *
                                            static_cast<uint64_t>(half_bits_bytes(P)) + pad;
    return ring + window + recent + groups + refined + static_cast<uint64_t>(P) + stats + sizeof(HeadCache);
}

uint64_t head_cache_held_bytes(const HeadCache& head) {
    const CodeStore& st = head.store;
    const auto used = static_cast<size_t>(st.touched);
    const auto held = [&](const AlignedBytes& b, size_t bytes_per_slot) { return b.held_bytes(used * bytes_per_slot); };
    uint64_t total = held(st.key_codes, static_cast<size_t>(st.bytes_per_vec)) +
                     held(st.val_codes, static_cast<size_t>(st.val_bytes_per_vec)) + st.key_scales.held_bytes(used) +
                     st.val_scales.held_bytes(used) + st.positions.held_bytes(used);
    const auto window = [](const FloatWindow& w) { return held_by_block(w.data(), w.capacity() * sizeof(float)); };
    total += window(head.exact) + window(head.recent) +
             sizeof(float) * head.codec_state.floats.capacity();
    const auto hd = static_cast<size_t>(head.head_dim);
    total += head.key_offsets.held_bytes(static_cast<size_t>(head.offsets_touched) * hd) +
             head.pending_keys.held_bytes(head.pending_keys.size()) + head.half_bits.held_bytes(head.half_bits.size());
    return total + head.rotation.signs.capacity() + sizeof(HeadCache);
}

void head_cache_release_window(HeadCache& head) {
    if (head.half_copies && !head.window_released) {
        // The sinks become float16 copies in place: token i moves from float
        // 2 * i * head_dim down to i * head_dim, never past what is still to read.
        const int32_t hd = head.head_dim;
        const size_t sinks = static_cast<size_t>(std::min(head.sinks, exact_tokens(head)));
        float key[kMaxHeadDim];
        float val[kMaxHeadDim];
        for (size_t i = 0; i < sinks; ++i) {
            get_copy(head.exact.data() + i * copy_floats(head, false), key, val, hd, false);
            put_copy(head.exact.data() + i * copy_floats(head, true), key, val, hd, true);
        }
        head.exact.resize(sinks * copy_floats(head, true));
    }
    const size_t keep = static_cast<size_t>(head.sinks) * copy_floats(head, head.half_copies);
    // A window still short of its sinks keeps its room: the room made for a
    // prompt in one call (head_room) counts on it for the sinks still to come.
    if (head.exact.size() >= keep) {
        head.exact.resize(keep);
        head.exact.shrink_to_fit();
    }
    head.window_released = true;
}

void head_cache_reset(HeadCache& head) {
    head.store.write_slot = 0;
    head.store.count = 0;
    head.store.wrapped = false;
    head.exact.clear();
    head.window_released = false;
    head.codec_state.ready = false;
    head.store.key_scales.set_base(0);
    head.store.val_scales.set_base(0);
    head.recent.clear();
    head.appended = 0;
    // What a fresh head holds, so that a saved state carries nothing from before.
    if (head.offsets_touched > 0) {
        std::fill(head.key_offsets.data(),
                  head.key_offsets.data() + static_cast<size_t>(head.offsets_touched) * static_cast<size_t>(head.head_dim),
                  uint16_t{0});
    }
    std::fill(head.pending_keys.begin(), head.pending_keys.end(), 0.0f);
    std::fill(head.half_bits.begin(), head.half_bits.end(), uint8_t{0});
}

void head_cache_destroy(HeadCache& head) {
    head.exact = FloatWindow();
    head.store.key_codes.release();
    head.store.val_codes.release();
    head.store.positions.release();
    head.store.val_scales.release();
    head.store.key_scales.release();
    head.store.slots = 0;
    head.rotation.signs = std::vector<int8_t>();
    head.codec_state = CodecState();
    head.recent = FloatWindow();
    head.key_offsets.release();
    head.pending_keys.release();
    head.half_bits.release();
    head.store.count = 0;
    head.store.write_slot = 0;
}

}  // namespace kelvor
