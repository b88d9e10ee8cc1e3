#pragma once
#include <cstdint>

namespace kelvor {

// Scalar reference of the randomised Hadamard rotation. n is a power of two;
// the SIMD levels produce the same bytes because every step is elementwise.
void fwht_inplace(float* x, int32_t n);
// x <- (1/sqrt(n)) * H_n * diag(signs) * x
void rht_forward(float* x, const int8_t* signs, int32_t n);
// x <- diag(signs) * (1/sqrt(n)) * H_n * x
void rht_inverse(float* x, const int8_t* signs, int32_t n);

}  // namespace kelvor
