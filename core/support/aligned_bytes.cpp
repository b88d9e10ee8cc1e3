#include "core/support/aligned_bytes.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

namespace kelvor {

AlignedBytes::AlignedBytes(std::size_t size) {
    const std::size_t total = size + kAlignment;
    if (total >= kMappedFrom) {
        const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        const std::size_t length = (total + page - 1) / page * page;
        void* p = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
        data_ = static_cast<uint8_t*>(p);
        mapped_ = length;
    } else {
        data_ = static_cast<uint8_t*>(::operator new(total, std::align_val_t(kAlignment)));
        std::memset(data_, 0, total);
    }
    size_ = size;
}

void* map_or_allocate(std::size_t bytes) {
    if (bytes < AlignedBytes::kMappedFrom) return ::operator new(bytes);
    void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) throw std::bad_alloc();
    return p;
}

void unmap_or_free(void* p, std::size_t bytes) noexcept {
    if (bytes < AlignedBytes::kMappedFrom) {
        ::operator delete(p);
    } else {
        munmap(p, bytes);
    }
}

std::size_t held_by_block(const void* p, std::size_t bytes) {
    if (p == nullptr || bytes < AlignedBytes::kMappedFrom) return p == nullptr ? 0 : bytes;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t pages = (bytes + page - 1) / page;
    std::vector<unsigned char> resident(pages);
    if (mincore(const_cast<void*>(p), bytes, resident.data()) != 0) return bytes;
    std::size_t held = 0;
    for (unsigned char r : resident) held += (r & 1u) * page;
    return held;
}

std::size_t AlignedBytes::held_bytes(std::size_t used) const {
    if (data_ == nullptr) return 0;
    if (mapped_ == 0) return size_ + kAlignment;
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t touched = (used + page - 1) / page * page;
    return touched < mapped_ ? touched : mapped_;
}

void AlignedBytes::release() noexcept {
    if (mapped_ != 0) {
        munmap(data_, mapped_);
    } else if (data_ != nullptr) {
        ::operator delete(data_, std::align_val_t(kAlignment));
    }
    data_ = nullptr;
    size_ = 0;
    mapped_ = 0;
}

}  // namespace kelvor
