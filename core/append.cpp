#include <cstring>

#include "core/attention.h"
#include "core/encoder.h"
#include "core/workspace.h"

namespace kelvor {

void code_token(const KernelTable& kt, HeadCache& head, int32_t slot, const float* key, const float* val) {
    ThreadWorkspace& ws = thread_workspace();
    CodeStore& store = head.store;
    float key_scale;
    float val_scale;
    if (head.encoding == Encoding::fitted) {
        encode_fitted_pair(kt, head, key, val, ws.key_stream, ws.value_stream, &key_scale, &val_scale);
    } else {
        encode_and_pack_pair(kt, head, key, val, ws.key_stream, ws.value_stream, &key_scale, &val_scale);
    }
    const size_t offset = static_cast<size_t>(slot) * static_cast<size_t>(store.bytes_per_vec);
    std::memcpy(store.key_codes.data() + offset, ws.key_stream, static_cast<size_t>(store.bytes_per_vec));
    std::memcpy(store.val_codes.data() + offset, ws.value_stream, static_cast<size_t>(store.bytes_per_vec));
    store.key_scales[slot] = key_scale;
    store.val_scales[slot] = val_scale;
}

void head_append(const KernelTable& kt, HeadCache& head, const float* key, const float* val, int32_t pos) {
    CodeStore& store = head.store;
    // A fitted head codes nothing until its statistics exist; until then the
    // exact window answers for it.
    const bool coded_now = head.encoding != Encoding::fitted || head.fitted.ready;
    const int32_t s = store.write_slot;
    if (coded_now) code_token(kt, head, s, key, val);
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
    if (!coded_now && !answers_exactly(head)) fix_fitted_stats(kt, head, key, val);
}

void head_append(HeadCache& head, const float* key, const float* val, int32_t pos) {
    head_append(kernels(), head, key, val, pos);
}

}  // namespace kelvor
