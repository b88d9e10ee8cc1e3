#pragma once
#include <cstddef>
#include <cstdint>
#include <utility>

#include "core/formats/bfloat16.h"
#include "core/support/aligned_bytes.h"

namespace kelvor {

// A ring's per-slot scales: float32, or bfloat16 when the head keeps them so
// (fixed for the head's life). Zero bytes are a scale of 0 in both.
class ScaleArray {
public:
    ScaleArray() = default;
    explicit ScaleArray(bool bfloat16) : bfloat16_(bfloat16) {}

    static size_t scale_bytes(bool bfloat16) { return bfloat16 ? sizeof(uint16_t) : sizeof(float); }
    size_t per_slot() const { return scale_bytes(bfloat16_); }
    bool is_bfloat16() const { return bfloat16_; }

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
        if (bfloat16_) {
            reinterpret_cast<uint16_t*>(bytes_.data())[slot] = bfloat16_from_float(scale);
        } else {
            reinterpret_cast<float*>(bytes_.data())[slot] = scale;
        }
    }

    size_t held_bytes(size_t used) const { return bytes_.held_bytes(used * per_slot()); }
    void release() noexcept { bytes_.release(); }

private:
    AlignedBytes bytes_;
    bool bfloat16_ = false;
};

}  // namespace kelvor
