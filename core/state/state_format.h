// The saved context, little-endian:
//   offset  bytes        field
//   0       8            magic "KELVORCX"
//   8       4            format version
//   12      4            encoding (its number in core/formats/encoding.h)
//   16      4 each       n_heads, head_dim, bits, capacity
//   32      8            seed
//   40      4            v_mass (float32)
//   44      4            hybrid_thresh
//   48      4            threads (of the whole-layer operations, the caller included)
//   52      4            reserved, 0 (versions 1-3); scales: 0 float32, 1 bfloat16 (version 4),
//                        2 log8 (version 7)
//   56      8            bytes in the whole state, checksum included
//   64      4 each       value_bits, recent, sinks (version 2)
//   76      4            reserved, 0 (version 2); full-precision copies: 0 float32, 1 float16 (version 3)
//   80      4            positions: 0 uint32, 1 none (version 4)
//   84      4            reserved, 0 (version 4); key_group (version 5)
//   88      4            value_refine (version 6)
//   92      4            value dither: 0 none, 1 uniform (version 8)
//   96      32 per head  head records (head_record.h), in head order (version 1: at 64, 16 each;
//                        versions 2 and 3: at 80; versions 4 and 5: at 88; versions 6 and 7:
//                        at 92; version 7 adds the log8 scales' ranges to them)
//   then                 each head's arrays (head_arrays.h), in head order
//   last 8               XXH3-64 of every byte before it
// The settings' offsets and versions are their rows in settings.cpp; this
// comment shows them laid out. A loader reads every version up to its own and
// refuses later ones. Version 1 had no options and kept every head's first
// 512 tokens whole. A state is written in the oldest version that holds it
// (version 3 only for float16 copies, version 4 only for bfloat16 scales or
// no positions, version 5 only for key groups, version 6 only for refined
// values, version 7 only for log8 scales, version 8 only for dithered
// values), so a context without them
// saves what an older release reads.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kelvor {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "saved contexts are little-endian, as the arrays lie in memory");

constexpr uint32_t kStateVersion = 8;
// Version 1 is read, never written: its header cannot hold the options.
constexpr uint32_t kOldestWrittenVersion = 2;
constexpr uint64_t kStateHeaderBytesV1 = 64;
constexpr uint64_t kStateHeaderBytesV2 = 80;
constexpr uint64_t kStateHeaderBytesV4 = 88;
constexpr uint64_t kStateHeaderBytesV6 = 92;
constexpr uint64_t kStateHeaderBytes = 96;  // the newest version's, the largest
constexpr uint64_t kStateChecksumBytes = 8;
constexpr uint64_t state_header_bytes(uint32_t version) {
    return version == 1   ? kStateHeaderBytesV1
           : version < 4 ? kStateHeaderBytesV2
           : version < 6 ? kStateHeaderBytesV4
           : version < 8 ? kStateHeaderBytesV6
                         : kStateHeaderBytes;
}

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

}  // namespace kelvor
