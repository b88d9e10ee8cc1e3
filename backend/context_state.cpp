#include "backend/context_state.h"

#include <cstring>
#include <stdexcept>
#include <string>

#include "core/heads/head_floats.h"

namespace kelvor {
namespace {

constexpr char kMagic[8] = {'K', 'E', 'L', 'V', 'O', 'R', 'C', 'X'};

[[noreturn]] void refuse(const std::string& what) { throw std::invalid_argument("context state: " + what); }

std::string str(uint64_t v) { return std::to_string(v); }

}  // namespace

uint64_t state_bytes(const KelvorMHABackend& backend) {
    const ContextSettings& s = backend.settings();
    uint64_t total = kStateHeaderBytes + kStateChecksumBytes;
    for (const auto& head : backend.context()->heads) {
        total += kHeadRecordBytes + head_arrays_bytes(head_record(*head), s.head_dim, s.bits, head->store.val_bits,
                                                      head->codec->stats_arrays(), s.options.half_copies);
    }
    return total;
}

void save_state(const KelvorMHABackend& backend, uint8_t* out, uint64_t size) {
    const ContextSettings& s = backend.settings();
    const auto& heads = backend.context()->heads;
    if (size != state_bytes(backend)) throw std::logic_error("context state: buffer size differs from state_bytes");
    // Only states a loader accepts are written; heads changed behind the
    // backend's back are refused here rather than by the loader later.
    const HeadShape shape{s.capacity, s.encoding, s.options};
    for (size_t i = 0; i < heads.size(); ++i) {
        HeadRecord record = head_record(*heads[i]);
        const std::string error = heads[i]->exact_window == kExactWindow
                                      ? record_error(record, shape, kStateVersion)
                                      : "has an exact window of " + str(uint64_t(heads[i]->exact_window));
        if (!error.empty()) throw std::logic_error("context state: head " + str(i) + " cannot be saved: it " + error);
    }

    uint8_t header[kStateHeaderBytes] = {};
    std::memcpy(header, kMagic, sizeof kMagic);
    put_field(header, 8, s.options.half_copies ? kStateVersion : uint32_t{2});
    put_field(header, 12, static_cast<uint32_t>(s.encoding));
    put_field(header, 16, s.n_heads);
    put_field(header, 20, s.head_dim);
    put_field(header, 24, s.bits);
    put_field(header, 28, s.capacity);
    put_field(header, 32, s.seed);
    put_field(header, 40, s.v_mass);
    put_field(header, 44, s.hybrid_thresh);
    put_field(header, 48, s.threads);
    put_field(header, 56, size);
    put_field(header, 64, s.options.value_bits != 0 ? s.options.value_bits : s.bits);
    put_field(header, 68, s.options.recent);
    put_field(header, 72, s.options.sinks);
    put_field(header, 76, uint32_t{s.options.half_copies ? 1u : 0u});

    StateWriter writer(out, size);
    writer.put(header, sizeof header);
    for (const auto& head : heads) {
        uint8_t record[kHeadRecordBytes];
        put_record(head_record(*head), record);
        writer.put(record, sizeof record);
    }
    for (const auto& head : heads) write_head_arrays(*head, writer);
    const uint64_t digest = writer.checksum().digest();
    writer.put(&digest, sizeof digest);
}

CheckedState check_state(const uint8_t* data, uint64_t size) {
    if (size < kStateHeaderBytesV1 + kStateChecksumBytes) {
        refuse("it is " + str(size) + " bytes, shorter than a header and checksum (" +
               str(kStateHeaderBytesV1 + kStateChecksumBytes) + ")");
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) refuse("it does not start with KELVORCX: not a saved context");
    const auto version = get_field<uint32_t>(data, 8);
    if (version == 0) refuse("format version 0 does not exist");
    if (version > kStateVersion) {
        refuse("format version " + str(version) + " is newer than this kelvor_py reads (up to " + str(kStateVersion) +
               "); load it with the release that saved it or a later one");
    }
    const auto declared = get_field<uint64_t>(data, 56);
    if (size < declared) refuse("it is truncated: " + str(size) + " bytes of the " + str(declared) + " it declares");
    if (size > declared) refuse("it has " + str(size) + " bytes, more than the " + str(declared) + " it declares");
    const uint64_t body = size - kStateChecksumBytes;
    if (checksum_of(data, body) != get_field<uint64_t>(data, body)) {
        refuse("its checksum does not match its contents: it was corrupted");
    }

    CheckedState state;
    state.version = version;
    const uint64_t header_bytes = version == 1 ? kStateHeaderBytesV1 : kStateHeaderBytes;
    const uint64_t record_bytes = head_record_bytes(version);
    if (body < header_bytes) refuse("it is " + str(size) + " bytes, shorter than a header and checksum");
    ContextSettings& s = state.settings;
    const auto encoding = get_field<uint32_t>(data, 12);
    if (encoding >= static_cast<uint32_t>(kEncodingCount)) refuse("encoding " + str(encoding) + " is unknown");
    s.encoding = static_cast<Encoding>(encoding);
    s.n_heads = get_field<int32_t>(data, 16);
    s.head_dim = get_field<int32_t>(data, 20);
    s.bits = get_field<int32_t>(data, 24);
    s.capacity = get_field<int32_t>(data, 28);
    s.seed = get_field<uint64_t>(data, 32);
    s.v_mass = get_field<float>(data, 40);
    s.hybrid_thresh = get_field<int32_t>(data, 44);
    s.threads = get_field<int32_t>(data, 48);
    if (version >= 2) {
        s.options.value_bits = get_field<int32_t>(data, 64);
        s.options.recent = get_field<int32_t>(data, 68);
        s.options.sinks = get_field<int32_t>(data, 72);
        const auto copies = get_field<uint32_t>(data, 76);
        if (version == 2 && copies != 0) refuse("its reserved header field is " + str(copies) + ", not 0");
        // Only float16 copies are saved as version 3, so a state has one form.
        if (version == 3 && copies != 1) {
            refuse("its full-precision copies are of kind " + str(copies) + ", but version 3 holds float16 ones (1)");
        }
        s.options.half_copies = copies == 1;
    } else {
        s.options.value_bits = s.bits;
    }
    try {
        check_settings(s);
    } catch (const std::invalid_argument& e) {
        refuse(e.what());
    }
    const auto reserved = get_field<uint32_t>(data, 52);
    if (reserved != 0) refuse("its reserved header field is " + str(reserved) + ", not 0");

    const auto n_heads = static_cast<uint64_t>(s.n_heads);
    if (n_heads > (body - header_bytes) / record_bytes) {
        refuse("its " + str(size) + " bytes cannot hold the records of " + str(n_heads) + " heads");
    }
    state.heads.resize(n_heads);
    uint64_t arrays = 0;
    const HeadShape shape{s.capacity, s.encoding, s.options};
    const int32_t val_bits = s.options.value_bits != 0 ? s.options.value_bits : s.bits;
    for (uint64_t i = 0; i < n_heads; ++i) {
        HeadRecord r = get_record(data + header_bytes + i * record_bytes, version);
        const std::string error = record_error(r, shape, version);
        if (!error.empty()) refuse("head " + str(i) + " " + error);
        arrays += head_arrays_bytes(r, s.head_dim, s.bits, val_bits, codec_of(s.encoding).stats_arrays(),
                                    s.options.half_copies);
        state.heads[i] = r;
    }
    const uint64_t records_end = header_bytes + n_heads * record_bytes;
    if (arrays != body - records_end) {
        refuse("its heads' arrays take " + str(arrays) + " bytes by their records, but it has " +
               str(body - records_end) + " bytes for them");
    }
    state.arrays = data + records_end;
    state.arrays_bytes = arrays;
    return state;
}

void restore_state(KelvorMHABackend& backend, const CheckedState& state) {
    auto& heads = backend.context()->heads;
    if (heads.size() != state.heads.size()) throw std::logic_error("context state: backend has another head count");
    StateReader reader(state.arrays, state.arrays_bytes);
    for (size_t i = 0; i < heads.size(); ++i) {
        read_head_arrays(*heads[i], state.heads[i], reader);
        // The checksum proves the bytes are what was written, not that any
        // append wrote them: a non-finite value would answer NaN.
        const std::string error = head_floats_error(*heads[i]);
        if (!error.empty()) refuse("head " + str(i) + " " + error);
    }
}

std::unique_ptr<KelvorMHABackend> load_state(const uint8_t* data, uint64_t size) {
    const CheckedState state = check_state(data, size);
    auto backend = std::make_unique<KelvorMHABackend>(state.settings);
    restore_state(*backend, state);
    return backend;
}

}  // namespace kelvor
