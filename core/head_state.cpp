#include "core/head_state.h"

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
    r.stats_ready = head.fitted.ready ? 1 : 0;
    return r;
}

void put_record(const HeadRecord& r, uint8_t* out) {
    put_field(out, 0, r.count);
    put_field(out, 4, r.write_slot);
    put_field(out, 8, r.exact_tokens);
    put_field(out, 12, r.wrapped);
    put_field(out, 13, r.stats_ready);
    put_field(out, 14, r.reserved);
}

HeadRecord get_record(const uint8_t* in) {
    HeadRecord r;
    r.count = get_field<int32_t>(in, 0);
    r.write_slot = get_field<int32_t>(in, 4);
    r.exact_tokens = get_field<int32_t>(in, 8);
    r.wrapped = get_field<uint8_t>(in, 12);
    r.stats_ready = get_field<uint8_t>(in, 13);
    r.reserved = get_field<uint16_t>(in, 14);
    return r;
}

std::string record_error(const HeadRecord& r, int32_t capacity, Encoding encoding) {
    if (r.count < 0 || r.count > capacity) return "holds " + str(r.count) + " tokens in a ring of " + str(capacity);
    if (r.wrapped > 1) return "has a replaced-tokens flag of " + str(r.wrapped) + ", not 0 or 1";
    if (r.stats_ready > 1) return "has a statistics flag of " + str(r.stats_ready) + ", not 0 or 1";
    if (r.reserved != 0) return "has " + str(r.reserved) + " in its reserved field, not 0";
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
    // A fitted head fixes its statistics on the append after which it no longer
    // answers exactly, and a clip3 head has none.
    const bool answers_exactly = !r.wrapped && r.count <= kExactWindow;
    const bool ready = encoding == Encoding::fitted && !answers_exactly;
    if ((r.stats_ready != 0) != ready) {
        return std::string(r.stats_ready ? "has" : "lacks") + " fitted statistics, but a " + encoding_name(encoding) +
               " head holding " + str(r.count) + " tokens " + (ready ? "has them" : "has none");
    }
    return {};
}

uint64_t head_arrays_bytes(const HeadRecord& r, int32_t head_dim, int32_t bits) {
    const auto n = static_cast<uint64_t>(r.count);
    const auto hd = static_cast<uint64_t>(head_dim);
    const auto B = static_cast<uint64_t>(stream_bytes(bits, padded_dim(head_dim)));
    return 2 * n * B + n * (2 * sizeof(float) + sizeof(uint32_t)) +
           static_cast<uint64_t>(r.exact_tokens) * 2 * hd * sizeof(float) + (r.stats_ready ? 3 * hd * sizeof(float) : 0);
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
    for_each_saved_array(head, head.store.count, exact_tokens(head), head.fitted.ready,
                         [&](const void* data, uint64_t n) { out.put(data, n); });
}

void read_head_arrays(HeadCache& head, const HeadRecord& r, StateReader& in) {
    head.exact.resize(static_cast<size_t>(r.exact_tokens) * 2 * static_cast<size_t>(head.head_dim));
    for_each_saved_array(head, r.count, r.exact_tokens, r.stats_ready != 0, [&](void* data, uint64_t n) { in.get(data, n); });
    CodeStore& st = head.store;
    st.count = r.count;
    st.write_slot = r.write_slot;
    st.wrapped = r.wrapped != 0;
    head.fitted.ready = r.stats_ready != 0;
}

}  // namespace kelvor
