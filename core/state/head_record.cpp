#include "core/state/head_record.h"

#include <algorithm>
#include <cstring>

#include "core/codecs/codec.h"

namespace kelvor {

namespace {

std::string str(int64_t v) { return std::to_string(v); }

// Where each field of HeadRecord lies in a record, and in which versions.
struct RecordField {
    size_t at, size, member;
    uint32_t since, until;
};
#define KELVOR_RECORD(member) offsetof(HeadRecord, member)
constexpr RecordField kRecordFields[] = {
    {0, 4, KELVOR_RECORD(count), 1, kStateVersion},
    {4, 4, KELVOR_RECORD(write_slot), 1, kStateVersion},
    {8, 4, KELVOR_RECORD(exact_tokens), 1, kStateVersion},
    {12, 1, KELVOR_RECORD(wrapped), 1, kStateVersion},
    {13, 1, KELVOR_RECORD(stats_ready), 1, kStateVersion},
    {14, 2, KELVOR_RECORD(reserved2), 1, 1},  // checked to be zero, as version 1 did
    {14, 1, KELVOR_RECORD(window_released), 2, kStateVersion},
    {15, 1, KELVOR_RECORD(reserved), 2, kStateVersion},
    {16, 8, KELVOR_RECORD(appended), 2, kStateVersion},
    {24, 4, KELVOR_RECORD(recent_tokens), 2, kStateVersion},
    {28, 4, KELVOR_RECORD(reserved2), 2, 6},
    {28, 2, KELVOR_RECORD(key_scale_base), 7, kStateVersion},
    {30, 2, KELVOR_RECORD(val_scale_base), 7, kStateVersion},
};
#undef KELVOR_RECORD

constexpr bool in_version(const RecordField& f, uint32_t version) { return version >= f.since && version <= f.until; }

}  // namespace

std::size_t head_record_bytes(uint32_t version) {
    std::size_t bytes = 0;
    for (const RecordField& f : kRecordFields) {
        if (in_version(f, version)) bytes = std::max(bytes, f.at + f.size);
    }
    return bytes;
}

HeadRecord head_record(const HeadCache& head) {
    HeadRecord r;
    r.count = head.store.count;
    r.write_slot = head.store.write_slot;
    r.exact_tokens = exact_tokens(head);
    r.wrapped = head.store.wrapped ? 1 : 0;
    r.stats_ready = head.codec_state.ready ? 1 : 0;
    r.window_released = head.window_released ? 1 : 0;
    r.appended = static_cast<uint64_t>(head.appended);
    r.recent_tokens = head.recent_window == 0 ? 0 : static_cast<int32_t>(head.recent.size() / copy_floats(head, head.half_copies));
    r.key_scale_base = static_cast<int16_t>(head.store.key_scales.base());
    r.val_scale_base = static_cast<int16_t>(head.store.val_scales.base());
    return r;
}

void put_record(const HeadRecord& r, uint8_t* out) {
    for (const RecordField& f : kRecordFields) {
        if (in_version(f, kStateVersion)) std::memcpy(out + f.at, reinterpret_cast<const uint8_t*>(&r) + f.member, f.size);
    }
}

HeadRecord get_record(const uint8_t* in, uint32_t version) {
    HeadRecord r;
    for (const RecordField& f : kRecordFields) {
        if (in_version(f, version)) std::memcpy(reinterpret_cast<uint8_t*>(&r) + f.member, in + f.at, f.size);
    }
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
    const bool ready = codec.state_arrays() > 0 && !answers_exactly;
    if ((r.stats_ready != 0) != ready) {
        return std::string(r.stats_ready ? "has" : "lacks") + " " + codec.name() + " statistics, but a " + codec.name() +
               " head holding " + str(r.count) + " tokens " + (ready ? "has them" : "has none");
    }
    return {};
}

// A head places its log8 scales' ranges when it fixes its statistics, within
// the bases that keep every byte a finite normal float; until then, and for
// other scales, they are 0.
std::string scale_base_error(const HeadRecord& r, const ContextSettings& shape) {
    const bool placed = shape.options.scale_kind == ScaleKind::log8 && r.stats_ready;
    const struct {
        const char* what;
        int16_t base;
        LogScaleFormat format;
    } ranges[] = {{"key", r.key_scale_base, kKeyLogScales}, {"value", r.val_scale_base, kValueLogScales}};
    for (const auto& [what, base, format] : ranges) {
        if (!placed && base != 0) {
            return std::string("places its ") + what + " scales from octave " + str(base) +
                   ", but only log8 scales of a head with statistics have a range";
        }
        if (base < kLogScaleBaseLeast || base > log_scale_base_most(format)) {
            return std::string("places its ") + what + " scales from octave " + str(base) + ", outside " +
                   str(kLogScaleBaseLeast) + " to " + str(log_scale_base_most(format));
        }
    }
    return {};
}

std::string record_error_v1(HeadRecord& r, const ContextSettings& shape) {
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

std::string record_error_v2(const HeadRecord& r, const ContextSettings& shape) {
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
    if (std::string e = stats_error(r, shape.encoding, answers_exactly); !e.empty()) return e;
    return scale_base_error(r, shape);
}

}  // namespace

std::string record_error(HeadRecord& r, const ContextSettings& shape, uint32_t version) {
    return version == 1 ? record_error_v1(r, shape) : record_error_v2(r, shape);
}

}  // namespace kelvor
