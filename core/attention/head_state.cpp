#include "core/attention/head_state.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kelvor {

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "saved contexts are little-endian, as the arrays lie in memory");

namespace {

// Small enough to be still in L2 when the checksum reads what the copy wrote.
constexpr uint64_t kPiece = uint64_t{64} << 10;

std::string str(int64_t v) { return std::to_string(v); }

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

HeadRecord head_record(const HeadCache& head) {
    HeadRecord r;
    r.count = head.store.count;
    r.write_slot = head.store.write_slot;
    r.exact_tokens = exact_tokens(head);
    r.wrapped = head.store.wrapped ? 1 : 0;
    r.stats_ready = head.stats.ready ? 1 : 0;
    r.window_released = head.window_released ? 1 : 0;
    r.appended = static_cast<uint64_t>(head.appended);
    r.recent_tokens = head.recent_window == 0 ? 0 : static_cast<int32_t>(head.recent.size() / copy_floats(head, head.half_copies));
    return r;
}

void put_record(const HeadRecord& r, uint8_t* out) {
    put_field(out, 0, r.count);
    put_field(out, 4, r.write_slot);
    put_field(out, 8, r.exact_tokens);
    put_field(out, 12, r.wrapped);
    put_field(out, 13, r.stats_ready);
    put_field(out, 14, r.window_released);
    put_field(out, 15, r.reserved);
    put_field(out, 16, r.appended);
    put_field(out, 24, r.recent_tokens);
    put_field(out, 28, r.reserved2);
}

HeadRecord get_record(const uint8_t* in, uint32_t version) {
    HeadRecord r;
    r.count = get_field<int32_t>(in, 0);
    r.write_slot = get_field<int32_t>(in, 4);
    r.exact_tokens = get_field<int32_t>(in, 8);
    r.wrapped = get_field<uint8_t>(in, 12);
    r.stats_ready = get_field<uint8_t>(in, 13);
    if (version == 1) {
        // Its reserved 16 bits, checked to be zero as they were.
        r.reserved2 = get_field<uint16_t>(in, 14);
        return r;
    }
    r.window_released = get_field<uint8_t>(in, 14);
    r.reserved = get_field<uint8_t>(in, 15);
    r.appended = get_field<uint64_t>(in, 16);
    r.recent_tokens = get_field<int32_t>(in, 24);
    r.reserved2 = get_field<uint32_t>(in, 28);
    return r;
}

namespace {

// The ring's counters: what appends from an empty ring can reach.
std::string ring_error(const HeadRecord& r, int32_t capacity) {
    if (r.count < 0 || r.count > capacity) return "holds " + str(r.count) + " tokens in a ring of " + str(capacity);
    if (r.wrapped > 1) return "has a replaced-tokens flag of " + str(r.wrapped) + ", not 0 or 1";
    if (r.stats_ready > 1) return "has a statistics flag of " + str(r.stats_ready) + ", not 0 or 1";
    if (r.window_released > 1) return "has a released-window flag of " + str(r.window_released) + ", not 0 or 1";
    if (r.reserved != 0 || r.reserved2 != 0) return "has " + str(r.reserved | r.reserved2) + " in its reserved field, not 0";
    if (r.count < capacity) {
        if (r.wrapped) return "has replaced tokens but holds " + str(r.count) + ", fewer than its capacity " + str(capacity);
        if (r.write_slot != r.count) {
            return "writes slot " + str(r.write_slot) + " next, but a ring holding " + str(r.count) + " of " +
                   str(capacity) + " tokens writes slot " + str(r.count);
        }
    } else if (r.write_slot < 0 || r.write_slot >= capacity) {
        return "writes slot " + str(r.write_slot) + " next, outside its ring of " + str(capacity);
    } else if (!r.wrapped && r.write_slot != 0) {
        return "writes slot " + str(r.write_slot) + " next, but a ring that has just filled writes slot 0";
    }
    return {};
}

// A codec that keeps statistics fixes them on the append after which the head
// no longer answers exactly; one that keeps none never has them.
std::string stats_error(const HeadRecord& r, Encoding encoding, bool answers_exactly) {
    const Codec& codec = codec_of(encoding);
    const bool ready = codec.stats_arrays() > 0 && !answers_exactly;
    if ((r.stats_ready != 0) != ready) {
        return std::string(r.stats_ready ? "has" : "lacks") + " " + codec.name() + " statistics, but a " + codec.name() +
               " head holding " + str(r.count) + " tokens " + (ready ? "has them" : "has none");
    }
    return {};
}

std::string record_error_v1(HeadRecord& r, const HeadShape& shape) {
    const int32_t capacity = shape.capacity;
    if (std::string e = ring_error(r, capacity); !e.empty()) return e;
    // The window keeps the first tokens since init/reset, up to its size: all of
    // them until the ring replaces one, and at least capacity + 1 after that.
    const int32_t least = r.wrapped ? std::min(capacity + 1, kExactWindow) : std::min(r.count, kExactWindow);
    const int32_t most = r.wrapped ? kExactWindow : least;
    if (r.exact_tokens < least || r.exact_tokens > most) {
        return "keeps " + str(r.exact_tokens) + " tokens at full precision; a head that holds " + str(r.count) +
               (r.wrapped ? " and has replaced tokens keeps " + str(least) + " to " + str(most)
                          : " and has replaced none keeps " + str(least));
    }
    // Until the window fills, it counts the appends, and they fix the next slot.
    if (r.wrapped && r.exact_tokens < kExactWindow && r.write_slot != r.exact_tokens % capacity) {
        return "writes slot " + str(r.write_slot) + " next, but a ring of " + str(capacity) + " writes slot " +
               str(r.exact_tokens % capacity) + " after " + str(r.exact_tokens) + " appends";
    }
    const bool answers_exactly = !r.wrapped && r.count <= kExactWindow;
    if (std::string e = stats_error(r, shape.encoding, answers_exactly); !e.empty()) return e;
    // Version 2's counters. Past a full window the number of appends is not
    // known; the least that fits the ring serves, since nothing that version 1
    // could save (no sinks, no recent tokens) depends on it.
    if (!r.wrapped) {
        r.appended = static_cast<uint64_t>(r.count);
    } else if (r.exact_tokens < kExactWindow) {
        r.appended = static_cast<uint64_t>(r.exact_tokens);
    } else {
        uint64_t a = std::max<uint64_t>(kExactWindow, static_cast<uint64_t>(capacity) + 1);
        a += (static_cast<uint64_t>(r.write_slot) + capacity - a % capacity) % capacity;
        r.appended = a;
    }
    r.window_released = answers_exactly ? 0 : 1;
    r.recent_tokens = 0;
    r.reserved2 = 0;
    return {};
}

std::string record_error_v2(const HeadRecord& r, const HeadShape& shape) {
    const int32_t capacity = shape.capacity;
    if (std::string e = ring_error(r, capacity); !e.empty()) return e;
    const uint64_t count = static_cast<uint64_t>(r.count);
    if (!r.wrapped && r.appended != count) {
        return "counts " + str(r.appended) + " appends, but a ring holding " + str(r.count) +
               " that has replaced none has had " + str(r.count);
    }
    if (r.wrapped && (r.appended <= static_cast<uint64_t>(capacity) || r.appended > (uint64_t{1} << 62) ||
                      r.appended % static_cast<uint64_t>(capacity) != static_cast<uint64_t>(r.write_slot))) {
        return "counts " + str(r.appended) + " appends, which do not leave a ring of " + str(capacity) +
               " that has replaced tokens writing slot " + str(r.write_slot) + " next";
    }
    const bool answers_exactly = !r.wrapped && r.count <= kExactWindow;
    if ((r.window_released != 0) == answers_exactly) {
        return std::string(r.window_released ? "has released" : "keeps") + " its full-precision window, but a head holding " +
               str(r.count) + " tokens " + (answers_exactly ? "answers from it" : "no longer answers from it");
    }
    const uint64_t window = answers_exactly ? count : std::min<uint64_t>(r.appended, static_cast<uint64_t>(shape.options.sinks));
    if (static_cast<uint64_t>(r.exact_tokens) != window) {
        return "keeps " + str(r.exact_tokens) + " tokens at full precision, but a head with " + str(shape.options.sinks) +
               " sinks after " + str(r.appended) + " appends keeps " + str(window);
    }
    const uint64_t slots = static_cast<uint64_t>(std::min(shape.options.recent, capacity));
    const uint64_t recent = std::min(r.appended, slots);
    if (static_cast<uint64_t>(r.recent_tokens) != recent) {
        return "keeps " + str(r.recent_tokens) + " recent tokens, but a head keeping " + str(shape.options.recent) +
               " after " + str(r.appended) + " appends keeps " + str(recent);
    }
    return stats_error(r, shape.encoding, answers_exactly);
}

}  // namespace

std::string record_error(HeadRecord& r, const HeadShape& shape, uint32_t version) {
    return version == 1 ? record_error_v1(r, shape) : record_error_v2(r, shape);
}

uint64_t head_arrays_bytes(const HeadRecord& r, int32_t head_dim, int32_t bits, int32_t val_bits,
                           int32_t stats_arrays, bool half_copies) {
    const auto n = static_cast<uint64_t>(r.count);
    const auto hd = static_cast<uint64_t>(head_dim);
    const int32_t P = padded_dim(head_dim);
    const auto codes = static_cast<uint64_t>(stream_bytes(bits, P) + stream_bytes(val_bits, P));
    return n * codes + n * (2 * sizeof(float) + sizeof(uint32_t)) +
           static_cast<uint64_t>(half_copies && r.window_released ? r.exact_tokens : 2 * r.exact_tokens) * hd *
               sizeof(float) +
           static_cast<uint64_t>(half_copies ? r.recent_tokens : 2 * r.recent_tokens) * hd * sizeof(float) +
           (r.stats_ready ? static_cast<uint64_t>(stats_arrays) * hd * sizeof(float) : 0);
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
    head.stats.ready = r.stats_ready != 0;
    head.appended = static_cast<int64_t>(r.appended);
    // A version 1 head kept its whole window even once nothing read it.
    if (r.window_released) head_cache_release_window(head);
}

}  // namespace kelvor
