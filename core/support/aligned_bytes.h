#pragma once
#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace kelvor {

// Owning, zero-filled, 64-byte aligned byte buffer. One extra zeroed cache line
// sits past size() so that vector loads of the last stream may run a few bytes
// over without leaving the allocation; size() never counts it.
// Large buffers are mapped straight from the kernel, whose pages read as zero
// and are committed only when first written, so a ring costs memory in
// proportion to the tokens written into it rather than to its capacity.
class AlignedBytes {
public:
    static constexpr std::size_t kAlignment = 64;
    // From this size on (the C library's own default threshold) a buffer gets a
    // mapping of its own; smaller ones come from the heap, zeroed at once.
    static constexpr std::size_t kMappedFrom = std::size_t{128} << 10;

    AlignedBytes() = default;
    explicit AlignedBytes(std::size_t size);
    ~AlignedBytes() { release(); }
    AlignedBytes(AlignedBytes&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          mapped_(std::exchange(other.mapped_, 0)) {}
    AlignedBytes& operator=(AlignedBytes&& other) noexcept {
        if (this != &other) {
            release();
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            mapped_ = std::exchange(other.mapped_, 0);
        }
        return *this;
    }
    AlignedBytes(const AlignedBytes&) = delete;
    AlignedBytes& operator=(const AlignedBytes&) = delete;

    uint8_t* data() { return data_; }
    const uint8_t* data() const { return data_; }
    std::size_t size() const { return size_; }
    // Memory the buffer holds when its first `used` bytes have been written: a
    // mapping commits the pages written, a heap block all of itself.
    std::size_t held_bytes(std::size_t used) const;
    void release() noexcept;

private:
    uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t mapped_ = 0;  // length of the mapping, 0 for a heap block
};

// A fixed number of zero-initialised T in an AlignedBytes: the ring's per-slot
// scales and positions, committed page by page as slots are written.
template <class T>
class ZeroedArray {
    static_assert(std::is_trivially_copyable_v<T>, "zero bytes must be a valid T");

public:
    ZeroedArray() = default;
    explicit ZeroedArray(std::size_t n) : bytes_(n * sizeof(T)), size_(n) {}
    // Takes over bytes (a whole number of T).
    explicit ZeroedArray(AlignedBytes bytes) : bytes_(std::move(bytes)), size_(bytes_.size() / sizeof(T)) {}
    const AlignedBytes& bytes() const { return bytes_; }

    T* data() { return reinterpret_cast<T*>(bytes_.data()); }
    const T* data() const { return reinterpret_cast<const T*>(bytes_.data()); }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t held_bytes(std::size_t used) const { return bytes_.held_bytes(used * sizeof(T)); }
    T& operator[](std::size_t i) { return data()[i]; }
    const T& operator[](std::size_t i) const { return data()[i]; }
    T* begin() { return data(); }
    T* end() { return data() + size_; }
    const T* begin() const { return data(); }
    const T* end() const { return data() + size_; }
    void release() noexcept {
        bytes_.release();
        size_ = 0;
    }

private:
    AlignedBytes bytes_;
    std::size_t size_ = 0;
};

// Memory for growable arrays that may be large and short-lived (a head's
// full-precision windows): large blocks are mapped straight from the kernel and
// unmapped when freed, so releasing one returns its memory at once, and the C
// library's heap neither grows with them nor raises its own mapping threshold.
void* map_or_allocate(std::size_t bytes);
void unmap_or_free(void* p, std::size_t bytes) noexcept;
// Memory a block of map_or_allocate holds now: a heap block all of itself, a
// mapping the pages written so far (the kernel's count, which a window's
// size alone cannot give once a reset has emptied it).
std::size_t held_by_block(const void* p, std::size_t bytes);

template <class T>
struct PageAllocator {
    using value_type = T;
    PageAllocator() = default;
    template <class U>
    PageAllocator(const PageAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return static_cast<T*>(map_or_allocate(n * sizeof(T))); }
    void deallocate(T* p, std::size_t n) noexcept { unmap_or_free(p, n * sizeof(T)); }
    template <class U>
    bool operator==(const PageAllocator<U>&) const noexcept { return true; }
    template <class U>
    bool operator!=(const PageAllocator<U>&) const noexcept { return false; }
};

}  // namespace kelvor
