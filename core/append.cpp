#include <cstring>

#include "core/attention.h"
#include "core/encoder.h"
#include "core/workspace.h"

namespace kelvor {

void head_append(const KernelTable& kt, HeadCache& head, const float* key, const float* val, int32_t pos) {
    ThreadWorkspace& ws = thread_workspace();
    CodeStore& store = head.store;
    float key_scale;
    float val_scale;
    encode_and_pack_pair(kt, head, key, val, ws.key_stream, ws.value_stream, &key_scale, &val_scale);

    const int32_t s = store.write_slot;
    const size_t offset = static_cast<size_t>(s) * static_cast<size_t>(store.bytes_per_vec);
    std::memcpy(store.key_codes.data() + offset, ws.key_stream, static_cast<size_t>(store.bytes_per_vec));
    std::memcpy(store.val_codes.data() + offset, ws.value_stream, static_cast<size_t>(store.bytes_per_vec));
    store.key_scales[s] = key_scale;
    store.val_scales[s] = val_scale;
    store.positions[s] = static_cast<uint32_t>(pos);

    store.write_slot = (store.write_slot + 1) % store.capacity;
    if (store.count < store.capacity) {
        ++store.count;
    } else {
        store.wrapped = true;
    }

    const size_t window_floats = static_cast<size_t>(head.head_dim) * static_cast<size_t>(head.exact_window) * 2;
    if (head.exact_window > 0 && head.exact.size() < window_floats) {
        head.exact.insert(head.exact.end(), key, key + head.head_dim);
        head.exact.insert(head.exact.end(), val, val + head.head_dim);
    }
}

void head_append(HeadCache& head, const float* key, const float* val, int32_t pos) {
    head_append(kernels(), head, key, val, pos);
}

}  // namespace kelvor

namespace kelvor {

bool all_finite(const float* x, int64_t n) {
    // On the bit patterns, so the compiler can vectorise it: an all-ones
    // exponent is NaN or infinity.
    uint32_t any_special = 0;
    for (int64_t i = 0; i < n; ++i) {
        uint32_t bits;
        std::memcpy(&bits, x + i, sizeof bits);
        any_special |= static_cast<uint32_t>((bits & 0x7f800000u) == 0x7f800000u);
    }
    return any_special == 0;
}

}  // namespace kelvor
