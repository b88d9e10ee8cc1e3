#include "core/support/checksum.h"

#include <new>

// Compiled into this file, so the module needs xxHash's header but not its
// shared library at run time.
#define XXH_INLINE_ALL
#include <xxhash.h>

static_assert(XXH_VERSION_NUMBER >= 800, "XXH3 needs xxHash 0.8 or later");

namespace kelvor {

struct Checksum::State {
    XXH3_state_t xxh;
};

Checksum::Checksum() : state_(std::make_unique<State>()) {
    if (XXH3_64bits_reset(&state_->xxh) != XXH_OK) throw std::bad_alloc();
}

Checksum::~Checksum() = default;

void Checksum::update(const void* data, std::size_t n) { XXH3_64bits_update(&state_->xxh, data, n); }

uint64_t Checksum::digest() const { return XXH3_64bits_digest(&state_->xxh); }

uint64_t checksum_of(const void* data, std::size_t n) { return XXH3_64bits(data, n); }

}  // namespace kelvor
