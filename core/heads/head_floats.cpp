#include "core/heads/head_floats.h"

#include <cmath>
#include <cstdint>
#include <cstring>

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
    const int64_t recent = hd == 0 ? 0 : static_cast<int64_t>(head.recent.size() / copy_floats(head, head.half_copies));
    // float16 copies are checked as halves below.
    const int64_t float_window = window_is_half(head) ? 0 : window;
    const int64_t float_recent = head.half_copies ? 0 : recent;
    const std::string codec = head.codec->name();
    // A state version that adds a float array adds its row here.
    const FloatArray arrays[] = {
        {"key scale", "slot", st.key_scales.data(), st.count, 1, 1, Allowed::not_negative},
        {"value scale", "slot", st.val_scales.data(), st.count, 1, 1, Allowed::not_negative},
        {"full-precision key", "token", head.exact.data(), float_window, hd, 2 * hd, Allowed::finite},
        {"full-precision value", "token", head.exact.data() + hd, float_window, hd, 2 * hd, Allowed::finite},
        {"recent key", "token", head.recent.data(), float_recent, hd, 2 * hd, Allowed::finite},
        {"recent value", "token", head.recent.data() + hd, float_recent, hd, 2 * hd, Allowed::finite},
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
    // A half with every exponent bit set is an infinity or a NaN; halves are
    // stored key then value per token.
    const struct {
        const char* what;
        const float* data;
        int64_t tokens;
    } halves[] = {{"full-precision", head.exact.data(), window - float_window},
                  {"recent", head.recent.data(), recent - float_recent}};
    for (const auto& a : halves) {
        for (int64_t i = 0; i < a.tokens; ++i) {
            uint16_t h[2 * kMaxHeadDim];
            std::memcpy(h, a.data + i * hd, 2 * sizeof(uint16_t) * static_cast<size_t>(hd));
            for (int64_t j = 0; j < 2 * hd; ++j) {
                if ((h[j] & 0x7c00u) == 0x7c00u) {
                    return std::string("has a non-finite ") + a.what + (j < hd ? " key" : " value") + " at token " +
                           std::to_string(i);
                }
            }
        }
    }
    return {};
}

}  // namespace kelvor
