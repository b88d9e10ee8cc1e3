#include "core/heads/head_floats.h"

#include <cmath>
#include <cstdint>

namespace kelvor {

namespace {

// What the encoders and the statistics can produce: scales are norms or
// positive gains (a zero vector codes as 0), divisors are floored above 0.
enum class Allowed { finite, not_negative, positive };

// One of a head's float arrays: `items` items of `length` floats each,
// `stride` floats apart, starting at `data`.
struct FloatArray {
    std::string what;
    const char* item;
    const float* data;
    int64_t items, length, stride;
    Allowed allowed;
};

std::string value_error(float x, Allowed allowed) {
    if (!std::isfinite(x)) return "a non-finite";
    if (allowed == Allowed::not_negative && x < 0.0f) return "a negative";
    if (allowed == Allowed::positive && !(x > 0.0f)) return "a non-positive";
    return {};
}

}  // namespace

std::string head_floats_error(const HeadCache& head) {
    const CodeStore& st = head.store;
    const int64_t hd = head.head_dim;
    const int64_t window = exact_tokens(head);
    const bool stats = head.stats.ready;
    const int64_t recent = hd == 0 ? 0 : static_cast<int64_t>(head.recent.size()) / (2 * hd);
    const std::string codec = head.codec->name();
    // A state version that adds a float array adds its row here.
    const FloatArray arrays[] = {
        {"key scale", "slot", st.key_scales.data(), st.count, 1, 1, Allowed::not_negative},
        {"value scale", "slot", st.val_scales.data(), st.count, 1, 1, Allowed::not_negative},
        {"full-precision key", "token", head.exact.data(), window, hd, 2 * hd, Allowed::finite},
        {"full-precision value", "token", head.exact.data() + hd, window, hd, 2 * hd, Allowed::finite},
        {"recent key", "token", head.recent.data(), recent, hd, 2 * hd, Allowed::finite},
        {"recent value", "token", head.recent.data() + hd, recent, hd, 2 * hd, Allowed::finite},
        {codec + " key mean", "channel", head.stats.key_mean.data(), stats ? hd : 0, 1, 1, Allowed::finite},
        {codec + " value mean", "channel", head.stats.val_mean.data(), stats ? hd : 0, 1, 1, Allowed::finite},
        {codec + " key divisor", "channel", head.stats.key_divisor.data(), stats ? hd : 0, 1, 1, Allowed::positive},
    };
    for (const FloatArray& a : arrays) {
        for (int64_t i = 0; i < a.items; ++i) {
            for (int64_t j = 0; j < a.length; ++j) {
                const std::string error = value_error(a.data[i * a.stride + j], a.allowed);
                if (!error.empty()) return "has " + error + " " + a.what + " at " + a.item + " " + std::to_string(i);
            }
        }
    }
    return {};
}

}  // namespace kelvor
