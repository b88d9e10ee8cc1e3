// A head's record in a saved state: its counters, which size its arrays
// (head_arrays.h). 16 bytes in version 1 and 32 from version 2:
//   0 count, 4 write_slot, 8 exact_tokens (int32 each), 12 wrapped, 13 stats_ready,
//   14 window_released (version 2; 0 in version 1), 15 reserved (uint8 each),
//   16 appended (uint64), 24 recent_tokens (int32), 28 reserved (uint32; version 7:
//   28 key_scale_base, 30 val_scale_base (int16 each), the octaves log8 scales start at)
// The offsets are the rows of kRecordFields (head_record.cpp). A version 1
// head kept its whole window; its counters of version 2 follow from the others.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/heads/head_cache.h"
#include "core/state/settings.h"
#include "core/state/state_format.h"

namespace kelvor {

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
    int16_t key_scale_base = 0;
    int16_t val_scale_base = 0;
};
constexpr std::size_t kHeadRecordBytesV1 = 16;
constexpr std::size_t kHeadRecordBytes = 32;
// Bytes of a record in a state of that version (its last field's end).
std::size_t head_record_bytes(uint32_t version);

HeadRecord head_record(const HeadCache& head);
// In the layout of kStateVersion.
void put_record(const HeadRecord& record, uint8_t* out);
HeadRecord get_record(const uint8_t* in, uint32_t version);

// Empty when the record describes a state that appends from a new head of
// these settings can reach; otherwise what is wrong with it. A version 1
// record is checked as it was saved, then given its version 2 counters.
std::string record_error(HeadRecord& record, const ContextSettings& settings, uint32_t version);

}  // namespace kelvor
