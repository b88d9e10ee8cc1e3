#pragma once
#include <cstdint>
#include <cstring>

namespace kelvor {

// How a head turns vectors into codes and scales; both store the same format
// (P codes of `bits` bits and one float32 scale per vector) read by the same kernels.
//  - clip3: each rotated vector clamped at three root mean squares and coded
//    against the fixed codebooks as they stand (the original encoding).
//  - fitted: per-head centring and key channel equalisation fixed from the
//    head's first tokens, rotated coordinates coded at unit root mean square
//    with a fitted per-vector gain; more accurate at every width.
enum class Encoding : int32_t { clip3 = 0, fitted = 1 };

inline constexpr Encoding kEncodings[] = {Encoding::clip3, Encoding::fitted};

constexpr const char* encoding_name(Encoding e) { return e == Encoding::fitted ? "fitted" : "clip3"; }

// False when name is none of the encodings' names.
inline bool encoding_from_name(const char* name, Encoding* out) {
    for (Encoding e : kEncodings) {
        if (std::strcmp(name, encoding_name(e)) == 0) {
            *out = e;
            return true;
        }
    }
    return false;
}

}  // namespace kelvor
