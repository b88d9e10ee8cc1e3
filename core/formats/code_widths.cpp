#include "core/formats/code_widths.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>

namespace kelvor {

void unknown_code_width(int32_t bits) {
    std::fprintf(stderr, "kelvor: code width %d is not one of the library's widths\n", static_cast<int>(bits));
    assert(!"unknown code width");
    std::abort();
}

}  // namespace kelvor
