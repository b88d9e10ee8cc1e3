#include "core/state/state_header.h"

#include <algorithm>

#include "core/support/checksum.h"

namespace kelvor {
namespace {

constexpr char kMagic[8] = {'K', 'E', 'L', 'V', 'O', 'R', 'C', 'X'};
constexpr size_t kVersionAt = 8, kSizeAt = 56;

std::string str(uint64_t v) { return std::to_string(v); }

size_t saved_size(const Setting& row) { return row.type == SettingType::uint64 ? 8 : 4; }

// A row's saved bits, widened as setting_bits gives them.
uint64_t get_saved(const Setting& row, const uint8_t* data) {
    if (row.type == SettingType::int32) return static_cast<uint64_t>(int64_t{get_field<int32_t>(data, row.saved_at)});
    uint64_t v = 0;
    std::memcpy(&v, data + row.saved_at, saved_size(row));
    return v;
}

}  // namespace

uint32_t state_version(const ContextSettings& s) {
    uint32_t version = kOldestWrittenVersion;
    for (size_t i = 0; i < settings_count(); ++i) {
        const Setting& row = settings_table()[i];
        if (!is_default(row, s)) version = std::max(version, version_needed(row, setting_bits(row, s)));
    }
    return version;
}

uint64_t put_header(const ContextSettings& s, uint64_t size, uint8_t* out) {
    const uint32_t version = state_version(s);
    std::memset(out, 0, state_header_bytes(version));
    std::memcpy(out, kMagic, sizeof kMagic);
    put_field(out, kVersionAt, version);
    for (size_t i = 0; i < settings_count(); ++i) {
        const Setting& row = settings_table()[i];
        // A newer version's field is at its default, which an older header holds as its reserved 0, or past its end.
        if (row.saved_since > version) continue;
        const uint64_t bits = setting_bits(row, s);
        std::memcpy(out + row.saved_at, &bits, saved_size(row));
    }
    put_field(out, kSizeAt, size);
    return state_header_bytes(version);
}

StateHeader read_header(const uint8_t* data, uint64_t size) {
    if (size < kStateHeaderBytesV1 + kStateChecksumBytes) {
        refuse_state("it is " + str(size) + " bytes, shorter than a header and checksum (" +
                     str(kStateHeaderBytesV1 + kStateChecksumBytes) + ")");
    }
    if (std::memcmp(data, kMagic, sizeof kMagic) != 0) refuse_state("it does not start with KELVORCX: not a saved context");
    const auto version = get_field<uint32_t>(data, kVersionAt);
    if (version == 0) refuse_state("format version 0 does not exist");
    if (version > kStateVersion) {
        refuse_state("format version " + str(version) + " is newer than this kelvor_py reads (up to " +
                     str(kStateVersion) + "); load it with the release that saved it or a later one");
    }
    const auto declared = get_field<uint64_t>(data, kSizeAt);
    if (size < declared) refuse_state("it is truncated: " + str(size) + " bytes of the " + str(declared) + " it declares");
    if (size > declared) refuse_state("it has " + str(size) + " bytes, more than the " + str(declared) + " it declares");
    const uint64_t body = size - kStateChecksumBytes;
    if (checksum_of(data, body) != get_field<uint64_t>(data, body)) {
        refuse_state("its checksum does not match its contents: it was corrupted");
    }

    StateHeader header;
    header.version = version;
    header.bytes = state_header_bytes(version);
    if (body < header.bytes) refuse_state("it is " + str(size) + " bytes, shorter than a header and checksum");
    ContextSettings& s = header.settings;
    // The rows this version adds: a state is saved in it only when one of them is set.
    std::string held, needed;
    bool needs_version = false;
    for (size_t i = 0; i < settings_count(); ++i) {
        const Setting& row = settings_table()[i];
        if (row.saved_since > version) {
            // A later version's field inside this version's header was reserved.
            if (row.saved_at + saved_size(row) <= header.bytes && get_saved(row, data) != 0) {
                refuse_state("its reserved header field is " + str(get_saved(row, data)) + ", not 0");
            }
            continue;
        }
        const uint64_t value = get_saved(row, data);
        const bool known = row.type != SettingType::choice || value < static_cast<uint64_t>(row.choices);
        const bool later = known && value != default_bits(row, s) && version_needed(row, value) > version;
        // Only states that need a version are saved in it, so a state has one form.
        const char* needs = row.later_choice != nullptr && version == row.later_choice->since ? row.later_choice->needs
                            : version == row.saved_since                                     ? row.needs
                                                                                              : nullptr;
        if (needs != nullptr) {
            const std::string refusal = "its " + std::string(row.saved_as) + " " + str(value);
            if (!known || later) refuse_state(refusal + ", but version " + str(version) + " holds " + needs);
            held += (held.empty() ? "" : " and ") + refusal;
            needed += (needed.empty() ? "" : " or ") + std::string(needs);
            needs_version = needs_version || (value != default_bits(row, s) && version_needed(row, value) == version);
        }
        if (!known) refuse_state(std::string(row.name) + " " + str(value) + " is unknown");
        if (later) {
            refuse_state(std::string(row.name) + " " + str(value) + " needs format version " +
                         str(version_needed(row, value)) + ", but it is version " + str(version));
        }
        set_setting_bits(row, s, value);
    }
    if (!held.empty() && !needs_version) refuse_state(held + ", but version " + str(version) + " holds " + needed);
    for (size_t i = 0; i < settings_count(); ++i) {
        const Setting& row = settings_table()[i];
        if (row.saved_since > version) set_setting_bits(row, s, default_bits(row, s));
    }
    try {
        check_settings(s);
    } catch (const std::invalid_argument& e) {
        refuse_state(e.what());
    }
    return header;
}

}  // namespace kelvor
