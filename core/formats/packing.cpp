#include "core/formats/packing.h"

#include <type_traits>

namespace kelvor {

void pack_codes(const uint8_t* codes, int32_t n, int32_t bits, uint8_t* out) {
    with_bits(bits, [&](auto b) { pack_codes_bits<decltype(b)::value>(codes, n, out); });
}

float dot_packed(const float* x, const uint8_t* stream, const float* levels, int32_t n, int32_t bits) {
    return with_bits(bits, [&](auto b) { return dot_packed_bits<decltype(b)::value>(x, stream, levels, n); });
}

void accumulate_packed(float* acc, const uint8_t* stream, const float* levels, int32_t n, int32_t bits) {
    with_bits(bits, [&](auto b) { accumulate_packed_bits<decltype(b)::value>(acc, stream, levels, n); });
}

}  // namespace kelvor
