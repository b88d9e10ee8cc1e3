#include "core/heads/head_floats.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>
#include <vector>

#include "core/support/vector_check.h"

namespace kelvor {

namespace {

std::string number(float x) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", static_cast<double>(x));
    return text;
}

// What is wrong with value x of item i of an array, as "a negative key scale
// at slot 3"; empty when nothing is.
std::string value_error(float x, const FloatArray& a, int64_t i) {
    const std::string at = " at " + std::string(a.item) + " " + std::to_string(i);
    const FloatRule& rule = a.rule;
    if (!std::isfinite(x)) return "a non-finite " + a.what + at;
    if (rule.kind == FloatRule::not_negative && x < 0.0f) return "a negative " + a.what + at;
    if (rule.kind == FloatRule::positive_between && !(x > 0.0f)) return "a non-positive " + a.what + at;
    const bool outside = (rule.kind == FloatRule::magnitude && std::fabs(x) > rule.most) ||
                         (rule.kind == FloatRule::positive_between && (x < rule.least || x > rule.most));
    if (outside) return "a " + a.what + " of " + number(x) + at + ", " + rule.outside;
    return {};
}

}  // namespace

std::string float_array_error(const FloatArray& a) {
    for (int64_t i = 0; i < a.items; ++i) {
        const float* item = a.data + i * a.stride;
        for (int64_t j = 0; j < a.length; ++j) {
            const std::string error = value_error(item[j], a, i);
            if (!error.empty()) return "has " + error;
        }
        // Finite, but its sum of squares overflows: append refuses such a row.
        if (a.rule.kind == FloatRule::stored_row && vector_fault(item, a.length) != VectorFault::none) {
            return "has a " + a.what + " at " + a.item + " " + std::to_string(i) +
                   " whose norm is above 1.8e19, which no append stores";
        }
    }
    return {};
}

std::string head_floats_error(const HeadCache& head) {
    const CodeStore& st = head.store;
    const int64_t hd = head.head_dim;
    const int64_t window = exact_tokens(head);
    const int64_t recent = hd == 0 ? 0 : static_cast<int64_t>(head.recent.size() / copy_floats(head, head.half_copies));
    // float16 copies are checked as halves below.
    const int64_t float_window = window_is_half(head) ? 0 : window;
    const int64_t float_recent = head.half_copies ? 0 : recent;
    // A state version that adds a float array of the head's own adds its row here.
    const FloatRule scale{FloatRule::not_negative}, row{FloatRule::stored_row};
    // Narrower scales are checked widened: each is exactly a float32.
    std::vector<float> key_scales, val_scales;
    if (!st.key_scales.is_float32()) {
        for (const auto& [from, to] : {std::pair{&st.key_scales, &key_scales}, std::pair{&st.val_scales, &val_scales}}) {
            to->resize(static_cast<size_t>(st.count));
            from->widen(0, st.count, to->data());
        }
    }
    const float* key_scale = st.key_scales.is_float32() ? st.key_scales.data() : key_scales.data();
    const float* val_scale = st.val_scales.is_float32() ? st.val_scales.data() : val_scales.data();
    const FloatArray arrays[] = {
        {"key scale", "slot", key_scale, st.count, 1, 1, scale},
        {"value scale", "slot", val_scale, st.count, 1, 1, scale},
        {"full-precision key", "token", head.exact.data(), float_window, hd, 2 * hd, row},
        {"full-precision value", "token", head.exact.data() + hd, float_window, hd, 2 * hd, row},
        {"recent key", "token", head.recent.data(), float_recent, hd, 2 * hd, row},
        {"recent value", "token", head.recent.data() + hd, float_recent, hd, 2 * hd, row},
        {"waiting key", "entry", head.pending_keys.data(), head.key_group == 0 ? 0 : head.appended % head.key_group, hd,
         hd, row},
    };
    for (const FloatArray& a : arrays) {
        if (std::string e = float_array_error(a); !e.empty()) return e;
    }
    // A half with every exponent bit set is an infinity or a NaN; halves are
    // stored key then value per token.
    const struct {
        const char* what;
        const float* data;
        int64_t tokens;
    } halves[] = {{"full-precision", head.exact.data(), window - float_window},
                  {"recent", head.recent.data(), recent - float_recent}};
    // Key-group offsets are bfloat16: all exponent bits set is an infinity or a NaN.
    for (int64_t i = 0; i < int64_t{head.offsets_touched} * hd; ++i) {
        if ((head.key_offsets[static_cast<size_t>(i)] & 0x7f80u) == 0x7f80u) {
            return "has a non-finite key-group offset at entry " + std::to_string(i / hd);
        }
    }
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
