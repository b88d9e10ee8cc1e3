// The code widths the library stores, as one list. Every place that turns a
// runtime width into a compile-time one is generated from it, and a width
// outside it traps rather than being read as another width.
//
// A width is a row: its entry in KELVOR_CODE_WIDTHS, its layout
// (CodeLayout<Bits> in packing.h), its fixed levels (levels_of<Bits> in
// codebook.h, thresholds derived from them) and the decoder each SIMD level
// supplies (its Decoder<Bits>).
#pragma once
#include <cstdint>
#include <string>
#include <type_traits>

#include "core/support/limits.h"

// X(bits) for every width, in increasing order. A macro, so that the SIMD level
// files can expand it into switches of their own without calling an inline
// function of another header (see core/kernels/simd_kernels.h).
#define KELVOR_CODE_WIDTHS(X) X(2) X(3) X(4)

namespace kelvor {

inline constexpr int32_t kCodeWidths[] = {
#define KELVOR_WIDTH_ENTRY(B) B,
    KELVOR_CODE_WIDTHS(KELVOR_WIDTH_ENTRY)
#undef KELVOR_WIDTH_ENTRY
};

constexpr bool is_code_width(int32_t bits) {
    for (int32_t w : kCodeWidths) {
        if (w == bits) return true;
    }
    return false;
}

// The per-thread stream buffers are sized for kMaxBits.
static_assert([] {
    for (int32_t w : kCodeWidths) {
        if (w < 1 || w > kMaxBits) return false;
    }
    return true;
}(), "every code width must lie in 1 ... kMaxBits (core/support/limits.h)");

// The widths as settings' errors name them: "2, 3 or 4".
std::string code_widths_text();

// Stops the process, naming the width: construction and loading reject any
// width outside the list, so reaching this is a bug that must not decode
// codes as some other width. Out of line, so level files may call it.
[[noreturn]] void unknown_code_width(int32_t bits);

// Calls f(std::integral_constant<int, Bits>{}) for the runtime width.
template <class F>
decltype(auto) with_bits(int32_t bits, F&& f) {
    switch (bits) {
#define KELVOR_WIDTH_CASE(B) \
    case B:                  \
        return f(std::integral_constant<int, B>{});
        KELVOR_CODE_WIDTHS(KELVOR_WIDTH_CASE)
#undef KELVOR_WIDTH_CASE
    }
    unknown_code_width(bits);
}

}  // namespace kelvor
