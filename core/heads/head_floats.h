#pragma once
#include <string>

#include "core/heads/head_cache.h"

namespace kelvor {

// Empty when every float a head holds is one its appends could have written;
// otherwise what is wrong, as "has a non-finite value scale at slot 17". A
// saved state is checked with it as it is restored: a NaN or infinity there
// would turn every answer of the head into NaN.
std::string head_floats_error(const HeadCache& head);

}  // namespace kelvor
