#include "core/aligned_bytes.h"

#include <cstring>

namespace kelvor {

AlignedBytes::AlignedBytes(std::size_t size) {
    const std::size_t total = size + kAlignment;
    data_ = static_cast<uint8_t*>(::operator new(total, std::align_val_t(kAlignment)));
    std::memset(data_, 0, total);
    size_ = size;
}

void AlignedBytes::release() noexcept {
    if (data_ != nullptr) ::operator delete(data_, std::align_val_t(kAlignment));
    data_ = nullptr;
    size_ = 0;
}

}  // namespace kelvor
