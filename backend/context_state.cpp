#include "backend/context_state.h"

#include <stdexcept>
#include <string>

#include "core/state/state_header.h"

namespace kelvor {
namespace {

std::string str(uint64_t v) { return std::to_string(v); }

}  // namespace

uint64_t state_bytes(const KelvorMHABackend& backend) {
    const ContextSettings& s = backend.settings();
    uint64_t total = state_header_bytes(state_version(s)) + kStateChecksumBytes;
    for (const auto& head : backend.context()->heads) {
        total += kHeadRecordBytes + head_arrays_bytes(head_record(*head), s);
    }
    return total;
}

void save_state(const KelvorMHABackend& backend, uint8_t* out, uint64_t size) {
    const ContextSettings& s = backend.settings();
    const auto& heads = backend.context()->heads;
    if (size != state_bytes(backend)) throw std::logic_error("context state: buffer size differs from state_bytes");
    // Only states a loader accepts are written; heads changed behind the
    // backend's back are refused here rather than by the loader later.
    for (size_t i = 0; i < heads.size(); ++i) {
        HeadRecord record = head_record(*heads[i]);
        const std::string error = heads[i]->exact_window == kExactWindow
                                      ? record_error(record, s, kStateVersion)
                                      : "has an exact window of " + str(uint64_t(heads[i]->exact_window));
        if (!error.empty()) throw std::logic_error("context state: head " + str(i) + " cannot be saved: it " + error);
    }

    uint8_t header[kStateHeaderBytes];
    const uint64_t header_bytes = put_header(s, size, header);
    StateWriter writer(out, size);
    writer.put(header, header_bytes);
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
    const StateHeader header = read_header(data, size);
    CheckedState state;
    state.version = header.version;
    state.settings = header.settings;
    const ContextSettings& s = state.settings;
    const uint64_t body = size - kStateChecksumBytes;
    const uint64_t record_bytes = head_record_bytes(header.version);
    const auto n_heads = static_cast<uint64_t>(s.n_heads);
    if (n_heads > (body - header.bytes) / record_bytes) {
        refuse_state("its " + str(size) + " bytes cannot hold the records of " + str(n_heads) + " heads");
    }
    state.heads.resize(n_heads);
    uint64_t arrays = 0;
    for (uint64_t i = 0; i < n_heads; ++i) {
        HeadRecord r = get_record(data + header.bytes + i * record_bytes, header.version);
        const std::string error = record_error(r, s, header.version);
        if (!error.empty()) refuse_state("head " + str(i) + " " + error);
        arrays += head_arrays_bytes(r, s);
        state.heads[i] = r;
    }
    const uint64_t records_end = header.bytes + n_heads * record_bytes;
    if (arrays != body - records_end) {
        refuse_state("its heads' arrays take " + str(arrays) + " bytes by their records, but it has " +
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
        const std::string error = saved_floats_error(*heads[i]);
        if (!error.empty()) refuse_state("head " + str(i) + " " + error);
    }
}

std::unique_ptr<KelvorMHABackend> load_state(const uint8_t* data, uint64_t size) {
    const CheckedState state = check_state(data, size);
    auto backend = std::make_unique<KelvorMHABackend>(state.settings);
    restore_state(*backend, state);
    return backend;
}

}  // namespace kelvor
