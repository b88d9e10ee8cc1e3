#include "core/head_cache.h"

namespace kelvor {

void make_sign_diagonal(int8_t* signs, int32_t P, uint64_t seed) {
    uint64_t x = seed != 0 ? seed : 0xdeadbeefcafe1234ULL;
    for (int32_t i = 0; i < P; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        signs[i] = (x & 1u) ? int8_t{1} : int8_t{-1};
    }
}

void head_cache_init(HeadCache& head, int32_t head_dim, int32_t bits, int32_t capacity, uint64_t seed,
                     float v_mass, Encoding encoding) {
    head.v_mass = v_mass;
    head.head_dim = head_dim;
    head.bits = bits;
    head.exact_window = kExactWindow;

    const int32_t P = padded_dim(head_dim);
    head.rotation.dim = head_dim;
    head.rotation.P = P;
    head.rotation.signs.assign(static_cast<size_t>(P), 0);
    make_sign_diagonal(head.rotation.signs.data(), P, seed);

    head.P = P;
    CodeStore& store = head.store;
    store.capacity = capacity;
    store.bits = bits;
    store.codebook = codebook_for(encoding, bits);
    store.write_slot = 0;
    store.count = 0;
    store.wrapped = false;
    store.bytes_per_vec = stream_bytes(bits, P);

    const size_t code_bytes =
        (static_cast<size_t>(store.bytes_per_vec) * static_cast<size_t>(capacity) + 63) / 64 * 64;
    store.key_codes = AlignedBytes(code_bytes);
    store.val_codes = AlignedBytes(code_bytes);
    store.key_scales = ZeroedArray<float>(static_cast<size_t>(capacity));
    store.val_scales = ZeroedArray<float>(static_cast<size_t>(capacity));
    store.positions = ZeroedArray<uint32_t>(static_cast<size_t>(capacity));

    head.exact.clear();
    head.exact.reserve(static_cast<size_t>(head_dim) * 2 * kExactWindow);

    head.encoding = encoding;
    head.fitted.ready = false;
    // Sized here so that fixing the statistics later allocates nothing.
    const size_t stats = encoding == Encoding::fitted ? static_cast<size_t>(head_dim) : 0;
    head.fitted.key_mean.assign(stats, 0.0f);
    head.fitted.val_mean.assign(stats, 0.0f);
    head.fitted.key_divisor.assign(stats, 1.0f);
}

uint64_t head_cache_bytes(int32_t head_dim, int32_t bits, int32_t capacity, Encoding encoding) {
    const auto cap = static_cast<uint64_t>(capacity);
    const auto hd = static_cast<uint64_t>(head_dim);
    const uint64_t pad = AlignedBytes::kAlignment;  // the zeroed line past every buffer
    const uint64_t codes = (static_cast<uint64_t>(stream_bytes(bits, padded_dim(head_dim))) * cap + 63) / 64 * 64;
    const uint64_t ring = 2 * (codes + pad) + 2 * (cap * sizeof(float) + pad) + cap * sizeof(uint32_t) + pad;
    const uint64_t window = 2 * hd * static_cast<uint64_t>(kExactWindow) * sizeof(float);
    const uint64_t stats = encoding == Encoding::fitted ? 3 * hd * sizeof(float) : 0;
    return ring + window + static_cast<uint64_t>(padded_dim(head_dim)) + stats + sizeof(HeadCache);
}

void head_cache_reset(HeadCache& head) {
    head.store.write_slot = 0;
    head.store.count = 0;
    head.store.wrapped = false;
    head.exact.clear();
    head.fitted.ready = false;
}

void head_cache_destroy(HeadCache& head) {
    head.exact = std::vector<float>();
    head.store.key_codes.release();
    head.store.val_codes.release();
    head.store.positions.release();
    head.store.val_scales.release();
    head.store.key_scales.release();
    head.rotation.signs = std::vector<int8_t>();
    head.fitted = FittedStats();
    head.store.count = 0;
    head.store.write_slot = 0;
}

}  // namespace kelvor
