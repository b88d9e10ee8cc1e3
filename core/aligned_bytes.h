#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <utility>

namespace kelvor {

// Owning, zero-filled, 64-byte aligned byte buffer. One extra zeroed cache line
// sits past size() so that vector loads of the last stream may run a few bytes
// over without leaving the allocation; size() never counts it.
class AlignedBytes {
public:
    static constexpr std::size_t kAlignment = 64;

    AlignedBytes() = default;
    explicit AlignedBytes(std::size_t size);
    ~AlignedBytes() { release(); }
    AlignedBytes(AlignedBytes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)) {}
    AlignedBytes& operator=(AlignedBytes&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
        }
        return *this;
    }
    AlignedBytes(const AlignedBytes&) = delete;
    AlignedBytes& operator=(const AlignedBytes&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    void release() noexcept;

private:
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace kelvor
