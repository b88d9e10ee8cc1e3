#include "core/state/head_arrays.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/codecs/codec.h"
#include "core/formats/half_cells.h"
#include "core/heads/head_floats.h"

namespace kelvor {

namespace {

// Small enough to be still in L2 when the checksum reads what the copy wrote.
constexpr uint64_t kPiece = uint64_t{64} << 10;

// Large destinations are new memory (a new bytes object, a new context's rings)
// whose pages would otherwise fault in one by one, which costs more than the
// copy: they are committed in one call, as huge pages where the kernel allows
// (a fault per 2 MiB instead of per 4 KiB; about three times the throughput
// measured here). Only what is about to be written is advised, so a restored
// ring still grows page by page past its tokens. Kernels that refuse either
// advice leave the pages to fault as before.
void prefault([[maybe_unused]] void* to, [[maybe_unused]] uint64_t n) {
#ifdef MADV_POPULATE_WRITE
    constexpr uint64_t kWorthIt = uint64_t{1} << 20;
    if (n < kWorthIt) return;
    const auto page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    const uintptr_t begin = (reinterpret_cast<uintptr_t>(to) + page - 1) / page * page;
    const uintptr_t end = (reinterpret_cast<uintptr_t>(to) + n) / page * page;
    if (end > begin) {
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
        madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
    }
#endif
}

}  // namespace

uint64_t head_arrays_bytes(const HeadRecord& r, const ContextSettings& s) {
    const auto n = static_cast<uint64_t>(r.count);
    const auto hd = static_cast<uint64_t>(s.head_dim);
    const int32_t P = padded_dim(s.head_dim);
    const bool half_copies = s.options.half_copies;
    const int32_t state_arrays = codec_of(s.encoding).state_arrays();
    const auto codes = static_cast<uint64_t>(stream_bytes(s.bits, P) + stream_bytes(s.options.value_bits, P));
    const uint64_t scales = 2 * ScaleArray::scale_bytes(s.options.scale_kind);
    const uint64_t positions = s.options.no_positions ? 0 : sizeof(uint32_t);
    return n * codes + n * (scales + positions) +
           static_cast<uint64_t>(half_copies && r.window_released ? r.exact_tokens : 2 * r.exact_tokens) * hd *
               sizeof(float) +
           static_cast<uint64_t>(half_copies ? r.recent_tokens : 2 * r.recent_tokens) * hd * sizeof(float) +
           (r.stats_ready ? static_cast<uint64_t>(state_arrays) * hd * sizeof(float) : 0) +
           static_cast<uint64_t>(waiting_keys_saved(s.options.key_group, r.appended)) * hd * sizeof(float) +
           static_cast<uint64_t>(key_offsets_saved(s.options.key_group, s.capacity, r.appended)) * hd * sizeof(uint16_t) +
           static_cast<uint64_t>(refined_entries(s.options.value_refine, s.options.recent, s.capacity)) *
               static_cast<uint64_t>(half_bits_bytes(P));
}

void StateWriter::put(const void* data, uint64_t n) {
    if (n > written_to_end()) throw std::logic_error("context state: writing past the size computed for it");
    const auto* from = static_cast<const uint8_t*>(data);
    prefault(at_, n);
    while (n > 0) {
        const uint64_t piece = std::min(n, kPiece);
        std::memcpy(at_, from, piece);
        checksum_.update(at_, piece);
        at_ += piece;
        from += piece;
        n -= piece;
    }
}

void StateReader::get(void* out, uint64_t n) {
    if (n > left()) throw std::invalid_argument("context state: an array runs past the end of the state");
    if (n == 0) return;
    prefault(out, n);
    std::memcpy(out, at_, n);
    at_ += n;
}

void write_head_arrays(const HeadCache& head, StateWriter& out) {
    for_each_saved_array(head, head_record(head), [&](const void* data, uint64_t n) { out.put(data, n); });
}

void read_head_arrays(HeadCache& head, const HeadRecord& r, StateReader& in) {
    if (r.count > 0) head_cache_make_ring(head, r.count);
    // A released window of float16 copies was saved as it is held.
    head.window_released = head.half_copies && r.window_released;
    head.exact.resize(static_cast<size_t>(r.exact_tokens) * copy_floats(head, window_is_half(head)));
    if (r.recent_tokens > 0) {
        const size_t token = copy_floats(head, head.half_copies);
        head.recent.reserve(static_cast<size_t>(recent_slots(head)) * token);
        head.recent.resize(static_cast<size_t>(r.recent_tokens) * token);
    }
    for_each_saved_array(head, r, [&](void* data, uint64_t n) { in.get(data, n); });
    CodeStore& st = head.store;
    st.count = r.count;
    st.write_slot = r.write_slot;
    st.wrapped = r.wrapped != 0;
    st.touched = r.count;
    head.codec_state.ready = r.stats_ready != 0;
    st.key_scales.set_base(r.key_scale_base);
    st.val_scales.set_base(r.val_scale_base);
    head.appended = static_cast<int64_t>(r.appended);
    head.offsets_touched = key_offsets_saved(head.key_group, st.capacity, r.appended);
    // A version 1 head kept its whole window even once nothing read it.
    if (r.window_released) head_cache_release_window(head);
}

std::string saved_floats_error(const HeadCache& head) {
    std::string error = head_floats_error(head);
    if (error.empty() && head.codec_state.ready) error = head.codec->state_error(head);
    return error;
}

}  // namespace kelvor
