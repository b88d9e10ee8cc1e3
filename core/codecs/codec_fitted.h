// The fitted encoding's steps, shared by its codec and its tests.
#pragma once
#include <cstdint>

#include "core/codecs/codec.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"

namespace kelvor {

// The fitted statistics, the arrays of a fitted head's CodecState in this
// order (the order they are saved in): fixed once, from the tokens appended
// since init/reset, when the head first has to answer from codes, and every
// stored token is coded with them; reset clears them. A key is coded as
// (key - key_mean) / key_divisor and a value as value - val_mean; a query is
// multiplied by key_divisor, which leaves every score shifted by the same
// amount, and val_mean is added to the answer.
enum FittedArray : int32_t { kKeyMean, kValMean, kKeyDivisor, kFittedArrays };

inline float* fitted_array(HeadCache& head, FittedArray a) {
    return head.codec_state.floats.data() + static_cast<size_t>(a) * static_cast<size_t>(head.head_dim);
}
inline const float* fitted_array(const HeadCache& head, FittedArray a) {
    return fitted_array(const_cast<HeadCache&>(head), a);
}

// Where fixing the statistics keeps them, so that every key and value an
// append accepts (its coordinates below 2^64, its squares summing below
// FLT_MAX) codes to a finite scale: a mean no larger than such a coordinate,
// and a divisor between a floor that keeps (key - mean) / divisor finite and
// the square root of the largest spread about a mean (2^65).
constexpr float kStatsMeanMost = 0x1p64f;
constexpr float kDivisorLeast = 0x1p-40f;
constexpr float kDivisorMost = 0x1p33f;

// Both vectors of the token appended as number `index` with the head's
// statistics (which must be ready): codes at unit root mean square, the key's
// scale from the least-squares gain, the value's from the gain that keeps its
// norm (the index picks the value's dither pattern, where the head dithers).
void encode_fitted_pair(const KernelTable& kt, const HeadCache& head, const float* key, const float* val,
                        int64_t index, uint8_t* key_stream, uint8_t* val_stream, float* key_scale, float* val_scale,
                        uint8_t* val_half = nullptr);

// One vector of the pair alone, with the same codes and scale.
void encode_fitted_key(const KernelTable& kt, const HeadCache& head, const float* key, uint8_t* stream, float* scale);
// half (nullptr: not wanted) gets the value's half-cell bits.
void encode_fitted_value(const KernelTable& kt, const HeadCache& head, const float* val, int64_t index,
                         uint8_t* stream, float* scale, uint8_t* half = nullptr);

// Fixes the head's statistics from the tokens appended since init/reset.
void fix_fitted_stats(HeadCache& head, const AppendedTokens& tokens);

}  // namespace kelvor
