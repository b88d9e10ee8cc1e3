#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/mha_backend.h"
#include "core/state/head_arrays.h"
#include "core/state/head_record.h"
#include "core/state/state_format.h"

namespace kelvor {

// A whole context saved and loaded; the format is in core/state/state_format.h.

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
