// Half-cell bits: one more bit per coordinate, saying in which half of its
// code's cell (split at the cell's level) a coordinate fell. A code c and its
// bit b read together as code 2c + b, whose table is the cells' halves in
// order, so the 4-bit kernels read them unchanged: as nibbles at both widths,
// because every level widens to nibbles with a few byte shuffles, where a
// 3-bit stream (for 2-bit codes) would need bits packed across bytes.
#pragma once
#include <cstdint>

#include "core/formats/codebook.h"

namespace kelvor {

// Bytes of a vector's half-cell bits: coordinate i at bit 7 - i % 8 of byte
// i / 8, most significant first like the code streams.
constexpr int32_t half_bits_bytes(int32_t P) { return (P + 7) / 8; }

// The 2^(bits + 1) levels of a codebook's half cells: entry 2c the mean of a
// unit normal over [threshold c-1, level c), entry 2c + 1 over [level c,
// threshold c) (unbounded at the ends). Ascending, as the codes are.
void half_cell_levels(const Codebook& codebook, float* out);

// The 4-bit stream of the P codes 2c + b that a stream of width `bits` and its
// half-cell bits make, as pack_codes writes it. bits is 2 or 3. This is the
// reference; kernel tables carry each level's own.
void interleave_half_bits(const uint8_t* stream, const uint8_t* half, int32_t P, int32_t bits, uint8_t* out);

// Coordinates each level widens at once; a shorter tail goes through the reference.
constexpr int32_t kHalfCellBlock = 64;

}  // namespace kelvor
