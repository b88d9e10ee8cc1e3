// The saved header: the frame (magic, version, size, checksum) and every
// setting at the place its row gives.
#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

#include "core/state/settings.h"
#include "core/state/state_format.h"

namespace kelvor {

// Refusals of a saved state all read "context state: ...".
[[noreturn]] inline void refuse_state(const std::string& what) {
    throw std::invalid_argument("context state: " + what);
}

// The version a state of these settings is written in: the oldest holding them.
uint32_t state_version(const ContextSettings& s);
// Writes the header of a state of `size` bytes (at most kStateHeaderBytes) and
// returns its length, state_header_bytes(state_version(s)).
uint64_t put_header(const ContextSettings& s, uint64_t size, uint8_t* out);

struct StateHeader {
    ContextSettings settings;  // checked, and resolved where the version lacked a field
    uint32_t version = kStateVersion;
    uint64_t bytes = 0;        // the header's own
};
// Checks the frame (size, magic, version, declared size, checksum) and every
// setting; refuse_state()s naming the first thing wrong. Reads only inside
// [data, data + size).
StateHeader read_header(const uint8_t* data, uint64_t size);

}  // namespace kelvor
