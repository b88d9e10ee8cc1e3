#pragma once
#include <cstdint>

namespace kelvor {

// The list of encodings: how a head turns vectors into codes and scales. Every
// encoding stores the same format (P codes per vector at the head's widths and
// one float32 scale per vector) read by the same kernels; each has a codec
// (core/codecs/codec.h) that owns everything else, its name included. The number is what a saved state
// records, so an encoding keeps its number for good; adding one is a new codec,
// an entry here and a line in core/codecs/codec.cpp.
//  - clip3: each rotated vector clamped at three root mean squares and coded
//    against the fixed codebooks as they stand (the original encoding).
//  - fitted: per-head centring and key channel equalisation fixed from the
//    head's first tokens, rotated coordinates coded at unit root mean square
//    with a fitted per-vector gain; more accurate at every width.
enum class Encoding : int32_t { clip3 = 0, fitted = 1 };

inline constexpr Encoding kEncodings[] = {Encoding::clip3, Encoding::fitted};
inline constexpr Encoding kDefaultEncoding = Encoding::clip3;
inline constexpr int32_t kEncodingCount = static_cast<int32_t>(sizeof kEncodings / sizeof kEncodings[0]);

}  // namespace kelvor
