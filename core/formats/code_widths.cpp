#include "core/formats/code_widths.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <iterator>

namespace kelvor {

void unknown_code_width(int32_t bits) {
    std::fprintf(stderr, "kelvor: code width %d is not one of the library's widths\n", static_cast<int>(bits));
    assert(!"unknown code width");
    std::abort();
}

std::string code_widths_text() {
    std::string text;
    const size_t n = std::size(kCodeWidths);
    for (size_t i = 0; i < n; ++i) {
        text += (i == 0 ? "" : i + 1 == n ? " or " : ", ") + std::to_string(kCodeWidths[i]);
    }
    return text;
}

}  // namespace kelvor
