#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/heads/head_cache.h"
#include "core/support/checksum.h"

namespace kelvor {

// One head's part of a saved context: a fixed record of its counters, and then
// its arrays as they are stored, sized by that record:
//   key codes                     count * bytes_per_vec bytes (the key width)
//   value codes                   count * val_bytes_per_vec bytes (the value width)
//   key scales, value scales      count float32 each
//   positions                     count uint32
//   exact window                  exact_tokens * 2 * head_dim float32 (key, then value, per token)
//   statistics                    stats_arrays * head_dim float32, as the codec keeps them
//                                 (core/heads/codec.h, in HeadStats order), when stats_ready
//   recent tokens                 recent_tokens * 2 * head_dim float32, as the recent ring holds them (version 2)
// A head keeping float16 copies (version 3) saves its released window and its
// recent tokens as 2 * head_dim float16 per token, as it holds them.
// Only slots 0 .. count-1 are saved: until the ring has filled, the tokens sit
// there (write_slot == count), and once it has, every slot holds one. Everything
// is little-endian, as it lies in memory. Rotation signs follow from the seed.
//
// The record, 16 bytes in version 1 and 32 in version 2:
//   0 count, 4 write_slot, 8 exact_tokens (int32 each), 12 wrapped, 13 stats_ready,
//   14 window_released (version 2; 0 in version 1), 15 reserved (uint8 each),
//   16 appended (uint64), 24 recent_tokens (int32), 28 reserved (uint32)
// A version 1 head kept its whole window; its counters of version 2 follow from the others.
// A field of a saved state at a byte offset, as it lies in memory (little-endian).
template <class T>
void put_field(uint8_t* out, size_t offset, T value) {
    std::memcpy(out + offset, &value, sizeof value);
}

template <class T>
T get_field(const uint8_t* in, size_t offset) {
    T value;
    std::memcpy(&value, in + offset, sizeof value);
    return value;
}

struct HeadRecord {
    int32_t count = 0;
    int32_t write_slot = 0;
    int32_t exact_tokens = 0;
    uint8_t wrapped = 0;
    uint8_t stats_ready = 0;
    uint8_t window_released = 0;
    uint8_t reserved = 0;
    uint64_t appended = 0;
    int32_t recent_tokens = 0;
    uint32_t reserved2 = 0;
};
constexpr std::size_t kHeadRecordBytesV1 = 16;
constexpr std::size_t kHeadRecordBytes = 32;
constexpr std::size_t head_record_bytes(uint32_t version) { return version == 1 ? kHeadRecordBytesV1 : kHeadRecordBytes; }

HeadRecord head_record(const HeadCache& head);
void put_record(const HeadRecord& record, uint8_t* out);
HeadRecord get_record(const uint8_t* in, uint32_t version);

// What a head's record is checked against.
struct HeadShape {
    int32_t capacity;
    Encoding encoding;
    HeadOptions options;
};

// Empty when the record describes a state that appends from a new head of
// these settings can reach; otherwise what is wrong with it. A version 1
// record is checked as it was saved, then given its version 2 counters.
std::string record_error(HeadRecord& record, const HeadShape& shape, uint32_t version);

// Bytes of the arrays a valid record implies (the same layout in every
// version: a version 1 record has no recent tokens and one width).
uint64_t head_arrays_bytes(const HeadRecord& record, int32_t head_dim, int32_t bits, int32_t val_bits,
                           int32_t stats_arrays, bool half_copies = false);

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
    array(head.store.key_scales.data(), n * sizeof(float));
    array(head.store.val_scales.data(), n * sizeof(float));
    array(head.store.positions.data(), n * sizeof(uint32_t));
    const bool half_window = head.half_copies && r.window_released;
    array(head.exact.data(), static_cast<uint64_t>(r.exact_tokens) * (half_window ? 1 : 2) * hd * sizeof(float));
    if (r.stats_ready) {
        for (int32_t i = 0; i < head.codec->stats_arrays(); ++i) array(stats_array(head.stats, i), hd * sizeof(float));
    }
    array(head.recent.data(), static_cast<uint64_t>(r.recent_tokens) * (head.half_copies ? 1 : 2) * hd * sizeof(float));
}

void write_head_arrays(const HeadCache& head, StateWriter& out);
// Fills a head freshly built with the context's settings from a record that
// passed record_error, and sets its counters. A version 1 head's window is
// released here if the head no longer answers from it.
void read_head_arrays(HeadCache& head, const HeadRecord& record, StateReader& in);

}  // namespace kelvor
