// Saving and loading a context of about 1 GiB, beside memcpy and the checksum
// over the same bytes, all in one run so that the ratios compare like with like.
// Each figure is the best of several runs; saving writes into new memory each
// time, as __getstate__ does, and loading builds a new context each time, as
// __setstate__ does.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "backend/context_state.h"
#include "backend/mha_backend.h"
#include "core/support/checksum.h"

#ifdef KELVOR_BENCH_HAVE_ZLIB
#include <zlib.h>
#endif

using namespace kelvor;

namespace {

constexpr int kRepeats = 5;

template <class Fn>
double best_seconds(Fn&& fn) {
    double best = 1e300;
    for (int r = 0; r < kRepeats; ++r) {
        const auto t0 = std::chrono::steady_clock::now();
        fn();
        best = std::min(best, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    }
    return best;
}

uint64_t next(uint64_t& x) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return x;
}

// Every ring full and replaced in: codes, scales and positions written
// directly, since their values do not matter to copying and checksumming.
void fill_full(KelvorMHABackend& b) {
    uint64_t x = 0x9e3779b97f4a7c15ULL;
    for (auto& head : b.context()->heads) {
        CodeStore& st = head->store;
        head_cache_make_ring(*head, st.capacity);
        for (auto* codes : {&st.key_codes, &st.val_codes}) {
            auto* words = reinterpret_cast<uint64_t*>(codes->data());
            for (size_t i = 0; i < codes->size() / 8; ++i) words[i] = next(x);
        }
        for (int32_t s = 0; s < st.capacity; ++s) {
            st.key_scales[s] = 1.0f + float(next(x) % 1000) / 1000.0f;
            st.val_scales[s] = 1.0f + float(next(x) % 1000) / 1000.0f;
            st.positions[s] = uint32_t(s);
        }
        // A ring that has replaced tokens no longer keeps its start-up window.
        st.count = st.capacity;
        st.touched = st.capacity;
        st.write_slot = st.capacity / 3;
        st.wrapped = true;
        head->appended = int64_t(st.capacity) + st.write_slot;
        head_cache_release_window(*head);
    }
}

double gbps(uint64_t bytes, double seconds) { return double(bytes) / seconds / 1e9; }

}  // namespace

int main() {
    const ContextSettings settings{8, 128, 4, 1 << 20, 1, 0.95f, 512, Encoding::clip3, 1, {}};
    KelvorMHABackend ctx(settings);
    fill_full(ctx);
    const uint64_t size = state_bytes(ctx);

    std::vector<uint8_t> blob(size), copy(size, 1);
    save_state(ctx, blob.data(), size);
    volatile uint64_t sink = 0;

    const double t_memcpy = best_seconds([&] { std::memcpy(copy.data(), blob.data(), size); });
    const double t_memcpy_new = best_seconds([&] {
        std::unique_ptr<uint8_t, decltype(&std::free)> fresh(static_cast<uint8_t*>(std::malloc(size)), &std::free);
        std::memcpy(fresh.get(), blob.data(), size);
        sink = sink + fresh.get()[size - 1];
    });
    const double t_xxh3 = best_seconds([&] { sink = sink + checksum_of(blob.data(), size); });
    const double t_save = best_seconds([&] {
        std::unique_ptr<uint8_t, decltype(&std::free)> fresh(static_cast<uint8_t*>(std::malloc(size)), &std::free);
        save_state(ctx, fresh.get(), size);
        sink = sink + fresh.get()[size - 1];
    });
    const double t_load = best_seconds([&] { sink = sink + load_state(blob.data(), size)->kv_bytes(); });

    std::printf("context state: %d heads, head_dim %d, %d bits, capacity %d, every ring full: %.2f GiB\n",
                settings.n_heads, settings.head_dim, settings.bits, settings.capacity, double(size) / double(1 << 30));
    // Saving and loading both write into memory never touched before, whose
    // first-touch page faults memcpy between warm buffers does not pay.
    std::printf("%-30s %8s %12s %18s\n", "", "GB/s", "/ memcpy", "/ memcpy to new");
    auto row = [&](const char* name, double seconds) {
        std::printf("%-30s %8.2f %12.2f %18.2f\n", name, gbps(size, seconds), t_memcpy / seconds, t_memcpy_new / seconds);
    };
    row("memcpy", t_memcpy);
    row("memcpy into new memory", t_memcpy_new);
    row("checksum (XXH3-64)", t_xxh3);
#ifdef KELVOR_BENCH_HAVE_ZLIB
    const double t_crc = best_seconds([&] { sink = sink + crc32_z(0, blob.data(), size); });
    row("zlib crc32_z, for comparison", t_crc);
#endif
    row("save (__getstate__)", t_save);
    row("load (__setstate__)", t_load);
    return sink == 42 ? 1 : 0;
}
