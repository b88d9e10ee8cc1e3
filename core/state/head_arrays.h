#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/heads/head_cache.h"
#include "core/state/head_record.h"
#include "core/state/settings.h"
#include "core/support/checksum.h"

namespace kelvor {

// One head's part of a saved context: a fixed record of its counters, and then
// its arrays as they are stored, sized by that record:
//   key codes                     count * bytes_per_vec bytes (the key width)
//   value codes                   count * val_bytes_per_vec bytes (the value width)
//   key scales, value scales      count float32 each, or bfloat16 (version 4)
//   positions                     count uint32, none when the head keeps none (version 4)
//   exact window                  exact_tokens * 2 * head_dim float32 (key, then value, per token)
//   codec state                   state_arrays * head_dim float32, in the order its codec
//                                 declares them (core/codecs/codec.h), when stats_ready
//   recent tokens                 recent_tokens * 2 * head_dim float32, as the recent ring holds them (version 2)
//   waiting keys                  (appended % key_group) * head_dim float32: the keys of the
//                                 newest, incomplete group, oldest first (version 5)
//   key-group offsets             key_offsets_saved * head_dim bfloat16: the ring of group
//                                 offsets as far as groups have started (version 5)
//   half-cell bits                the whole ring of them, refined_entries * half_bits_bytes(P)
//                                 bytes, as it lies (version 6)
// A head keeping float16 copies (version 3) saves its released window and its
// recent tokens as 2 * head_dim float16 per token, as it holds them.
// Only slots 0 .. count-1 are saved: until the ring has filled, the tokens sit
// there (write_slot == count), and once it has, every slot holds one. Everything
// is little-endian, as it lies in memory. Rotation signs follow from the seed.

// Bytes of the arrays a valid record implies for a head of these (resolved)
// settings (the same layout in every version: a version 1 record has no
// recent tokens and one width).
uint64_t head_arrays_bytes(const HeadRecord& record, const ContextSettings& s);

// Key-group offsets a state saves: the entries groups begun since init/reset
// have reached (0 without key groups).
inline int32_t key_offsets_saved(int32_t key_group, int32_t capacity, uint64_t appended) {
    if (key_group == 0) return 0;
    const uint64_t begun = (appended + static_cast<uint64_t>(key_group) - 1) / static_cast<uint64_t>(key_group);
    return static_cast<int32_t>(std::min<uint64_t>(begun, static_cast<uint64_t>(key_offset_entries(key_group, capacity))));
}
inline int32_t waiting_keys_saved(int32_t key_group, uint64_t appended) {
    return key_group == 0 ? 0 : static_cast<int32_t>(appended % static_cast<uint64_t>(key_group));
}

// Copies into consecutive memory and checksums each piece while it is still in
// cache, so the checksum costs no second pass over memory.
class StateWriter {
public:
    StateWriter(uint8_t* out, uint64_t size) : at_(out), end_(out + size) {}
    // Throws std::logic_error past the end: the size was computed wrongly.
    void put(const void* data, uint64_t n);
    uint64_t written_to_end() const { return static_cast<uint64_t>(end_ - at_); }
    Checksum& checksum() { return checksum_; }

private:
    uint8_t* at_;
    uint8_t* end_;
    Checksum checksum_;
};

// Reads consecutive memory; never past its end.
class StateReader {
public:
    StateReader(const uint8_t* data, uint64_t size) : at_(data), end_(data + size) {}
    // Copies n bytes to out; throws std::invalid_argument when fewer are left.
    void get(void* out, uint64_t n);
    uint64_t left() const { return static_cast<uint64_t>(end_ - at_); }

private:
    const uint8_t* at_;
    const uint8_t* end_;
};

// Calls array(pointer, bytes) for each of a head's saved arrays, in their
// order in the state, for a head holding `count` tokens and `exact_tokens`
// window tokens, with or without its statistics: the one place that order
// is written, for saving and for loading alike.
template <class Head, class Array>
void for_each_saved_array(Head& head, const HeadRecord& r, Array&& array) {
    const auto n = static_cast<uint64_t>(r.count);
    const auto hd = static_cast<uint64_t>(head.head_dim);
    array(head.store.key_codes.data(), n * static_cast<uint64_t>(head.store.bytes_per_vec));
    array(head.store.val_codes.data(), n * static_cast<uint64_t>(head.store.val_bytes_per_vec));
    array(head.store.key_scales.raw(), n * head.store.key_scales.per_slot());
    array(head.store.val_scales.raw(), n * head.store.val_scales.per_slot());
    array(head.store.positions.data(), head.store.keeps_positions ? n * sizeof(uint32_t) : 0);
    const bool half_window = head.half_copies && r.window_released;
    array(head.exact.data(), static_cast<uint64_t>(r.exact_tokens) * (half_window ? 1 : 2) * hd * sizeof(float));
    if (r.stats_ready) {
        array(head.codec_state.floats.data(), head.codec_state.floats.size() * sizeof(float));
    }
    array(head.recent.data(), static_cast<uint64_t>(r.recent_tokens) * (head.half_copies ? 1 : 2) * hd * sizeof(float));
    if (head.key_group > 0) {
        array(head.pending_keys.data(), static_cast<uint64_t>(waiting_keys_saved(head.key_group, r.appended)) * hd * sizeof(float));
        array(head.key_offsets.data(), static_cast<uint64_t>(key_offsets_saved(head.key_group, head.store.capacity,
                                                                               r.appended)) * hd * sizeof(uint16_t));
    }
    array(head.half_bits.data(), head.half_bits.size());
}

void write_head_arrays(const HeadCache& head, StateWriter& out);
// Fills a head freshly built with the context's settings from a record that
// passed record_error, and sets its counters. A version 1 head's window is
// released here if the head no longer answers from it.
void read_head_arrays(HeadCache& head, const HeadRecord& record, StateReader& in);

// Empty when every float a restored head holds, its codec's state included,
// is one its appends could have written; otherwise what is wrong.
std::string saved_floats_error(const HeadCache& head);

}  // namespace kelvor
