#pragma once
#include <cstdint>
#include <string>

#include "core/heads/head_cache.h"

namespace kelvor {

// What a float a head holds may be: what the encoders, appends and a codec's
// fitting can produce. Scales are norms or positive gains (a zero vector codes
// as 0); full-precision rows are what append accepts; a bounded value stays
// within `most` in magnitude, a positive one within [least, most].
struct FloatRule {
    enum Kind { finite, not_negative, stored_row, magnitude, positive_between } kind;
    float least = 0.0f, most = 0.0f;
    const char* outside = nullptr;  // why a value outside the bounds cannot be, for the message
};

// One of a head's float arrays: `items` items of `length` floats each,
// `stride` floats apart, starting at `data`; `what` names one in messages.
struct FloatArray {
    std::string what;
    const char* item;
    const float* data;
    int64_t items, length, stride;
    FloatRule rule;
};

// Empty when every value keeps the rule; otherwise the first that does not,
// as "has a negative key scale at slot 3".
std::string float_array_error(const FloatArray& array);

// The same for every float a head holds but its codec's state (which its
// codec checks, Codec::state_error). A saved state is checked with both as it
// is restored: a NaN or infinity there would turn every answer into NaN.
std::string head_floats_error(const HeadCache& head);

}  // namespace kelvor
