#include <algorithm>
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
    head.codec->encode_pair(kt, head, key, val, ws.key_stream, ws.value_stream, &key_scale, &val_scale);
    const auto s = static_cast<size_t>(slot);
    const auto key_bytes = static_cast<size_t>(store.bytes_per_vec);
    const auto val_bytes = static_cast<size_t>(store.val_bytes_per_vec);
    std::memcpy(store.key_codes.data() + s * key_bytes, ws.key_stream, key_bytes);
    std::memcpy(store.val_codes.data() + s * val_bytes, ws.value_stream, val_bytes);
    store.key_scales[slot] = key_scale;
    store.val_scales[slot] = val_scale;
}

namespace {

void keep_recent(HeadCache& head, int64_t index, const float* key, const float* val) {
    const auto hd = static_cast<size_t>(head.head_dim);
    const auto slots = static_cast<size_t>(recent_slots(head));
    const size_t at = static_cast<size_t>(index % static_cast<int64_t>(slots)) * 2 * hd;
    if (head.recent.size() <= at) {
        // Filling for the first time since init/reset, into room made beforehand.
        head.recent.insert(head.recent.end(), key, key + hd);
        head.recent.insert(head.recent.end(), val, val + hd);
    } else {
        std::copy(key, key + hd, head.recent.begin() + static_cast<std::ptrdiff_t>(at));
        std::copy(val, val + hd, head.recent.begin() + static_cast<std::ptrdiff_t>(at + hd));
    }
}

// The append after which a head whose codes were not ready answers from its
// codes: the first time the ring replaced a token, or outgrew the window. The
// codec fixes its statistics from the tokens appended since init/reset, and
// every held token is coded with them.
void start_coding(const KernelTable& kt, HeadCache& head, const float* key, const float* val) {
    const CodeStore& store = head.store;
    const AppendedTokens tokens{head.exact.data(), exact_tokens(head), store.wrapped ? store.capacity + 1 : store.count,
                                head.head_dim, key, val};
    head.codec->fix_stats(head, tokens);
    for (int32_t i = tokens.count - store.count; i < tokens.count; ++i) {
        code_token(kt, head, i % store.capacity, tokens.key_of(i), tokens.val_of(i));
    }
}

}  // namespace

void head_append(const KernelTable& kt, HeadCache& head, const float* key, const float* val, int32_t pos) {
    CodeStore& store = head.store;
    // Everything that may allocate comes first, so that running out of memory
    // leaves the head as it was.
    head_cache_make_ring(head, store.write_slot + 1);
    const int64_t keep = head.window_released ? head.sinks : head.exact_window;
    const size_t token = 2 * static_cast<size_t>(head.head_dim);
    if (head.appended < keep && head.exact.capacity() < head.exact.size() + token) {
        head.exact.reserve(std::max(2 * head.exact.capacity(), head.exact.size() + token));
    }
    if (head.recent_window > 0 && head.recent.capacity() == 0) {
        head.recent.reserve(static_cast<size_t>(recent_slots(head)) * token);
    }
    // A codec with statistics codes nothing until they exist; until then the
    // exact window answers for the head.
    const bool coded_now = head.codec->codes_ready(head);
    const int32_t s = store.write_slot;
    if (coded_now) code_token(kt, head, s, key, val);
    store.positions[s] = static_cast<uint32_t>(pos);
    store.touched = std::max(store.touched, s + 1);

    store.write_slot = (store.write_slot + 1) % store.capacity;
    if (store.count < store.capacity) {
        ++store.count;
    } else {
        store.wrapped = true;
    }

    // The window holds the first tokens since init/reset: up to its size while
    // it may still answer, up to the sinks after that.
    const int64_t index = head.appended++;
    if (index < keep) {
        head.exact.insert(head.exact.end(), key, key + head.head_dim);
        head.exact.insert(head.exact.end(), val, val + head.head_dim);
    }
    if (head.recent_window > 0) keep_recent(head, index, key, val);
    if (!head.window_released && !answers_exactly(head)) {
        if (!coded_now) start_coding(kt, head, key, val);
        head_cache_release_window(head);
    }
}

void head_append(HeadCache& head, const float* key, const float* val, int32_t pos) {
    head_append(kernels(), head, key, val, pos);
}

}  // namespace kelvor
