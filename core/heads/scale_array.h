#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/formats/bfloat16.h"
#include "core/formats/log_scale.h"
#include "core/support/aligned_bytes.h"

namespace kelvor {

// How a head keeps its per-token scales (the scale_dtype choices, in order).
enum class ScaleKind : int32_t { float32, bfloat16, log8 };

// A ring's per-slot scales: float32, bfloat16, or one byte over a range the
// head places once (log_scale.h); the kind is fixed for the head's life. Zero
// bytes are a scale of 0 in every kind.
class ScaleArray {
public:
    ScaleArray() = default;
    // format: how a log8 array's bytes read (the key or the value one).
    explicit ScaleArray(ScaleKind kind, LogScaleFormat format = kValueLogScales) : kind_(kind), format_(format) {}

    static size_t scale_bytes(ScaleKind kind) {
        return kind == ScaleKind::float32 ? sizeof(float) : kind == ScaleKind::bfloat16 ? sizeof(uint16_t) : 1;
    }
    size_t per_slot() const { return scale_bytes(kind_); }
    ScaleKind kind() const { return kind_; }
    bool is_float32() const { return kind_ == ScaleKind::float32; }

    // The base octave of a log8 array: 0 until the head places its range
    // (before it codes any token), and again after reset.
    int32_t base() const { return base_; }
    LogScaleFormat format() const { return format_; }
    void set_base(int32_t base) { base_ = base; }

    const AlignedBytes& bytes() const { return bytes_; }
    // The stored bytes, whichever the kind, for saving and loading.
    uint8_t* raw() { return bytes_.data(); }
    const uint8_t* raw() const { return bytes_.data(); }
    // Takes over a buffer of whole slots.
    void take(AlignedBytes bytes) { bytes_ = std::move(bytes); }
    // Slots the buffer holds.
    size_t size() const { return bytes_.size() / per_slot(); }
    bool empty() const { return bytes_.size() == 0; }

    // A float32 array's scales, as ZeroedArray<float> gives them.
    float* data() { return reinterpret_cast<float*>(bytes_.data()); }
    const float* data() const { return reinterpret_cast<const float*>(bytes_.data()); }
    float& operator[](size_t i) { return data()[i]; }
    const float& operator[](size_t i) const { return data()[i]; }
    float* begin() { return data(); }
    float* end() { return data() + size(); }
    const float* begin() const { return data(); }
    const float* end() const { return data() + size(); }
    // A bfloat16 array's patterns.
    const uint16_t* halves() const { return reinterpret_cast<const uint16_t*>(bytes_.data()); }

    void set(size_t slot, float scale) {
        switch (kind_) {
            case ScaleKind::float32: data()[slot] = scale; break;
            case ScaleKind::bfloat16: reinterpret_cast<uint16_t*>(bytes_.data())[slot] = bfloat16_from_float(scale); break;
            case ScaleKind::log8: bytes_.data()[slot] = log_scale_from_float(scale, base_, format_.steps); break;
        }
    }

    // Slots [slot, slot + n) as float32, for an array of another kind; exact,
    // since every stored scale is a float32.
    void widen(size_t slot, int32_t n, float* out) const {
        if (kind_ == ScaleKind::bfloat16) {
            widen_bfloat16(halves() + slot, n, out);
        } else {
            widen_log_scales(bytes_.data() + slot, n, base_, format_.steps, out);
        }
    }

    size_t held_bytes(size_t used) const { return bytes_.held_bytes(used * per_slot()); }
    void release() noexcept { bytes_.release(); }

private:
    AlignedBytes bytes_;
    ScaleKind kind_ = ScaleKind::float32;
    LogScaleFormat format_ = kValueLogScales;
    int32_t base_ = 0;
};

}  // namespace kelvor
