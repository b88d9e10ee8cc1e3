#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/mha_backend.h"
#include "core/attention/head_state.h"

namespace kelvor {

// A saved context, little-endian:
//   offset  bytes        field
//   0       8            magic "KELVORCX"
//   8       4            format version
//   12      4            encoding (its number in core/formats/encoding.h)
//   16      4 each       n_heads, head_dim, bits, capacity
//   32      8            seed
//   40      4            v_mass (float32)
//   44      4            hybrid_thresh
//   48      4            threads (of the whole-layer operations, the caller included)
//   52      4            reserved, 0
//   56      8            bytes in the whole state, checksum included
//   64      4 each       value_bits, recent, sinks (version 2)
//   76      4            reserved, 0 (version 2); full-precision copies: 0 float32, 1 float16 (version 3)
//   80      32 per head  head records (core/attention/head_state.h), in head order (version 1: at 64, 16 each)
//   then                 each head's arrays, in head order
//   last 8               XXH3-64 of every byte before it
// A loader reads every version up to its own and refuses later ones. Version 1
// had no options and kept every head's first 512 tokens whole. A state is
// written in the oldest version that holds it (version 3 only for float16
// copies), so a context without them saves what an older release reads.
constexpr uint32_t kStateVersion = 3;
constexpr uint64_t kStateHeaderBytesV1 = 64;
constexpr uint64_t kStateHeaderBytes = 80;
constexpr uint64_t kStateChecksumBytes = 8;

// Bytes save_state writes for this backend.
uint64_t state_bytes(const KelvorMHABackend& backend);
// Writes exactly `size` (= state_bytes) bytes to out.
void save_state(const KelvorMHABackend& backend, uint8_t* out, uint64_t size);

// A state whose every field and size has been checked, ready to fill a backend
// built from its settings.
struct CheckedState {
    ContextSettings settings;
    uint32_t version = kStateVersion;
    std::vector<HeadRecord> heads;
    const uint8_t* arrays = nullptr;  // the first head's arrays; the state must outlive this
    uint64_t arrays_bytes = 0;
};

// Throws std::invalid_argument ("context state: ...") naming what is wrong with
// a truncated, extended, corrupted, foreign, newer or inconsistent state. Reads
// only inside [data, data + size) and allocates only the head records.
CheckedState check_state(const uint8_t* data, uint64_t size);
// Fills a backend freshly built from state.settings.
void restore_state(KelvorMHABackend& backend, const CheckedState& state);
// check_state, a backend from its settings (which weighs it first), restore_state.
std::unique_ptr<KelvorMHABackend> load_state(const uint8_t* data, uint64_t size);

}  // namespace kelvor
