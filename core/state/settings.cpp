#include "core/state/settings.h"

#include <charconv>
#include <cstring>
#include <stdexcept>

#include "core/codecs/codec.h"
#include "core/formats/code_widths.h"
#include "core/support/limits.h"

namespace kelvor {
namespace {

// The names of a storage choice: the default first, then the opt-in one.
constexpr const char* kCopyDtypes[] = {"float32", "float16"};
constexpr const char* kScaleDtypes[] = {"float32", "bfloat16", "log8"};
constexpr LaterChoice kLog8ScalesSince{7, "log8 scales (2)"};
constexpr const char* kPositionDtypes[] = {"uint32", "none"};
constexpr const char* kValueDithers[] = {"none", "uniform"};
template <const char* const* Names>
const char* name_in(int32_t i) { return Names[i]; }
const char* encoding_choice(int32_t i) { return encoding_name(static_cast<Encoding>(i)); }

constexpr size_t kOptions = offsetof(ContextSettings, options);

#define KELVOR_FIELD(member) offsetof(ContextSettings, member), sizeof(ContextSettings::member)
#define KELVOR_OPTION(member) kOptions + offsetof(HeadOptions, member), sizeof(HeadOptions::member)

// The last three columns name a field that only a newer version holds, or a
// choice that only a newer one holds; the oldest version written (2) holds
// every other field.
const Setting kSettings[] = {
    // name           type                  field                  range                    least  most          choices          default    from    argument             shown                  saved at, since
    {"n_heads",       SettingType::int32,   KELVOR_FIELD(n_heads),   SettingRange::at_least,   1, 0,            nullptr, 0,                      0,    nullptr, Argument::required,   Shown::always,         16, 1, nullptr, nullptr, nullptr},
    {"head_dim",      SettingType::int32,   KELVOR_FIELD(head_dim),  SettingRange::between,    1, kMaxHeadDim,  nullptr, 0,                      0,    nullptr, Argument::required,   Shown::always,         20, 1, nullptr, nullptr, nullptr},
    {"bits",          SettingType::int32,   KELVOR_FIELD(bits),      SettingRange::code_width, 0, 0,            nullptr, 0,                      0,    nullptr, Argument::required,   Shown::always,         24, 1, nullptr, nullptr, nullptr},
    {"capacity",      SettingType::int32,   KELVOR_FIELD(capacity),  SettingRange::between,    1, kMaxCapacity, nullptr, 0,                      0,    nullptr, Argument::required,   Shown::always,         28, 1, nullptr, nullptr, nullptr},
    {"seed",          SettingType::uint64,  KELVOR_FIELD(seed),      SettingRange::any,        0, 0,            nullptr, 0,                      0,    nullptr, Argument::positional, Shown::always,         32, 1, nullptr, nullptr, nullptr},
    {"v_mass",        SettingType::float32, KELVOR_FIELD(v_mass),    SettingRange::any,        0, 0,            nullptr, 0,                      0.95, nullptr, Argument::positional, Shown::always,         40, 1, nullptr, nullptr, nullptr},
    {"hybrid_thresh", SettingType::int32,   KELVOR_FIELD(hybrid_thresh), SettingRange::any,    0, 0,            nullptr, 0,                      512,  nullptr, Argument::positional, Shown::always,         44, 1, nullptr, nullptr, nullptr},
    {"threads",       SettingType::int32,   KELVOR_FIELD(threads),   SettingRange::at_least,   1, 0,            nullptr, 0,                      1,    nullptr, Argument::keyword,    Shown::always,         48, 1, nullptr, nullptr, nullptr},
    {"encoding",      SettingType::choice,  KELVOR_FIELD(encoding),  SettingRange::any,        0, 0,            encoding_choice, kEncodingCount, 0,    nullptr, Argument::keyword,    Shown::always,         12, 1, nullptr, nullptr, nullptr},
    {"recent",        SettingType::int32,   KELVOR_OPTION(recent),   SettingRange::between,    0, kMaxRecent,   nullptr, 0,                      0,    nullptr, Argument::keyword,    Shown::unless_default, 68, 2, nullptr, nullptr, nullptr},
    {"value_bits",    SettingType::int32,   KELVOR_OPTION(value_bits), SettingRange::code_width, 0, 0,          nullptr, 0,                      0,    "bits",  Argument::keyword,    Shown::unless_default, 64, 2, nullptr, nullptr, nullptr},
    {"sinks",         SettingType::int32,   KELVOR_OPTION(sinks),    SettingRange::between,    0, kExactWindow, nullptr, 0,                      0,    nullptr, Argument::keyword,    Shown::unless_default, 72, 2, nullptr, nullptr, nullptr},
    {"copy_dtype",    SettingType::choice,  KELVOR_OPTION(half_copies), SettingRange::any,     0, 0,            name_in<kCopyDtypes>, 2,              0,    nullptr, Argument::keyword,    Shown::unless_default, 76, 3,
     "full-precision copies are of kind", "float16 ones (1)", nullptr},
    {"scale_dtype",   SettingType::choice,  KELVOR_OPTION(scale_kind),    SettingRange::any, 0, 0,            name_in<kScaleDtypes>, 3,             0,    nullptr, Argument::keyword,    Shown::unless_default, 52, 4,
     "scales are of kind", "bfloat16 scales (1)", &kLog8ScalesSince},
    {"position_dtype", SettingType::choice, KELVOR_OPTION(no_positions), SettingRange::any,   0, 0,            name_in<kPositionDtypes>, 2,          0,    nullptr, Argument::keyword,    Shown::unless_default, 80, 4,
     "positions are of kind", "no positions (1)", nullptr},
    {"key_group",     SettingType::int32,   KELVOR_OPTION(key_group), SettingRange::between,   0, kMaxKeyGroup, nullptr, 0,                      0,    nullptr, Argument::keyword,    Shown::unless_default, 84, 5,
     "key group is", "key groups (above 0)", nullptr},
    {"value_refine",  SettingType::int32,   KELVOR_OPTION(value_refine), SettingRange::between, 0, kMaxCapacity, nullptr, 0,                   0,    nullptr, Argument::keyword,    Shown::unless_default, 88, 6,
     "value refine is", "refined values (above 0)", nullptr},
    {"value_dither",  SettingType::choice,  KELVOR_OPTION(value_dither), SettingRange::any,   0, 0,            name_in<kValueDithers>, 2,            0,    nullptr, Argument::keyword,    Shown::unless_default, 92, 8,
     "value dither is", "dithered values (1)", nullptr},
};

#undef KELVOR_FIELD
#undef KELVOR_OPTION

std::string range_text(const Setting& row) {
    switch (row.range) {
        case SettingRange::at_least: return "at least " + std::to_string(row.least);
        case SettingRange::between: return "between " + std::to_string(row.least) + " and " + std::to_string(row.most);
        case SettingRange::code_width: return code_widths_text();
        case SettingRange::any: break;
    }
    return {};
}

bool in_range(const Setting& row, int64_t v) {
    switch (row.range) {
        case SettingRange::at_least: return v >= row.least;
        case SettingRange::between: return v >= row.least && v <= row.most;
        case SettingRange::code_width: return v >= INT32_MIN && v <= INT32_MAX && is_code_width(static_cast<int32_t>(v));
        case SettingRange::any: break;
    }
    return true;
}

}  // namespace

const Setting* settings_table() { return kSettings; }
size_t settings_count() { return sizeof kSettings / sizeof kSettings[0]; }

const Setting& setting(const char* name) {
    for (const Setting& row : kSettings) {
        if (std::strcmp(row.name, name) == 0) return row;
    }
    throw std::logic_error(std::string("no setting named ") + name);
}

uint64_t setting_bits(const Setting& row, const ContextSettings& s) {
    const auto* at = reinterpret_cast<const uint8_t*>(&s) + row.offset;
    switch (row.type) {
        case SettingType::int32: {
            int32_t v;
            std::memcpy(&v, at, sizeof v);
            return static_cast<uint64_t>(static_cast<int64_t>(v));
        }
        case SettingType::uint64:
        case SettingType::float32:
        case SettingType::choice: break;
    }
    uint64_t v = 0;  // little-endian: the low bytes
    std::memcpy(&v, at, row.size);
    return v;
}

void set_setting_bits(const Setting& row, ContextSettings& s, uint64_t bits) {
    std::memcpy(reinterpret_cast<uint8_t*>(&s) + row.offset, &bits, row.size);
}

uint32_t version_needed(const Setting& row, uint64_t value) {
    if (row.later_choice != nullptr && value + 1 == static_cast<uint64_t>(row.choices)) return row.later_choice->since;
    return row.saved_since;
}

uint64_t default_bits(const Setting& row, const ContextSettings& s) {
    if (row.default_from != nullptr) return setting_bits(setting(row.default_from), s);
    if (row.type == SettingType::float32) {
        const float f = static_cast<float>(row.fallback);
        uint32_t bits;
        std::memcpy(&bits, &f, sizeof bits);
        return bits;
    }
    return static_cast<uint64_t>(static_cast<int64_t>(row.fallback));
}

bool is_default(const Setting& row, const ContextSettings& s) { return setting_bits(row, s) == default_bits(row, s); }

void resolve_defaults(ContextSettings& s) {
    for (const Setting& row : kSettings) {
        if (row.default_from != nullptr && setting_bits(row, s) == 0) set_setting_bits(row, s, default_bits(row, s));
    }
}

void check_setting(const Setting& row, int64_t value) {
    if (!in_range(row, value)) {
        throw std::invalid_argument(std::string(row.name) + " must be " + range_text(row) + ", got " +
                                    std::to_string(value));
    }
}

void check_settings(const ContextSettings& s) {
    for (const Setting& row : kSettings) {
        if (row.type == SettingType::int32) check_setting(row, static_cast<int64_t>(setting_bits(row, s)));
    }
    // Half-cell bits split the cells of a unit normal, which only the fitted
    // encoding codes at, and are read by the next width's kernels.
    if (s.options.value_refine > 0) {
        if (s.encoding != Encoding::fitted) {
            throw std::invalid_argument(std::string("value_refine needs encoding='fitted', got '") +
                                        encoding_name(s.encoding) + "'");
        }
        const int32_t value_bits = value_width(s.options, s.bits);
        if (value_bits >= kMaxBits) {
            throw std::invalid_argument("value_refine needs values of 2 or 3 bits, got " + std::to_string(value_bits));
        }
    }
    // The dither is taken off by the fitted encoding's reading of its codes.
    if (s.options.value_dither && s.encoding != Encoding::fitted) {
        throw std::invalid_argument(std::string("value_dither='uniform' needs encoding='fitted', got '") +
                                    encoding_name(s.encoding) + "'");
    }
    // One-byte scales take their range from the first tokens a head codes,
    // which only an encoding that waits for its statistics has in hand.
    if (s.options.scale_kind == ScaleKind::log8 && s.encoding != Encoding::fitted) {
        throw std::invalid_argument(std::string("scale_dtype='log8' needs encoding='fitted', got '") +
                                    encoding_name(s.encoding) + "'");
    }
}

int32_t choice_index(const Setting& row, const std::string& name) {
    std::string names;
    for (int32_t i = 0; i < row.choices; ++i) {
        if (name == row.choice_name(i)) return i;
        names += (i == 0 ? "'" : i + 1 == row.choices ? " or '" : ", '") + std::string(row.choice_name(i)) + "'";
    }
    throw std::invalid_argument(std::string(row.name) + " must be " + names + ", got '" + name + "'");
}

std::string setting_text(const Setting& row, const ContextSettings& s) {
    const uint64_t bits = setting_bits(row, s);
    switch (row.type) {
        case SettingType::int32: return std::to_string(static_cast<int64_t>(bits));
        case SettingType::uint64: return std::to_string(bits);
        case SettingType::float32: {
            float f;
            const auto word = static_cast<uint32_t>(bits);
            std::memcpy(&f, &word, sizeof f);
            char text[32];
            *std::to_chars(text, text + sizeof text - 1, f).ptr = '\0';
            return text;
        }
        case SettingType::choice: break;
    }
    return "'" + std::string(row.choice_name(static_cast<int32_t>(bits))) + "'";
}

std::string settings_text(const ContextSettings& s) {
    std::string text;
    for (const Setting& row : kSettings) {
        if (row.shown == Shown::unless_default && is_default(row, s)) continue;
        text += (text.empty() ? "" : ", ") + std::string(row.name) + "=" + setting_text(row, s);
    }
    return text;
}

}  // namespace kelvor
