// A context's settings and per-head options as one table: every row says what
// a setting is, what it may be, its default, how it shows in repr and where it
// is saved. The constructor's checks and their messages, repr, the saved
// header and the loader's checks all read the table.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/formats/encoding.h"
#include "core/heads/head_cache.h"

namespace kelvor {

// Everything a context is built from.
struct ContextSettings {
    int32_t n_heads = 0;
    int32_t head_dim = 0;
    int32_t bits = 0;
    int32_t capacity = 0;
    uint64_t seed = 0;
    float v_mass = 0.0f;
    int32_t hybrid_thresh = 0;
    Encoding encoding = kDefaultEncoding;
    int32_t threads = 1;  // the whole-layer operations' threads, the caller included
    HeadOptions options;  // opt-in accuracy options, all off by default
};

// How a setting is held: an integer, the seed, a real, or one of a few names
// (held as their index: an enum or a flag).
enum class SettingType : uint8_t { int32, uint64, float32, choice };

// The values a setting may take; the rule's words go into its refusal.
enum class SettingRange : uint8_t { any, at_least, between, code_width };

// In repr: always, or only when it differs from its default (the options).
enum class Shown : uint8_t { always, unless_default };

// How the constructor takes it: positional without a default, positional
// with one, or keyword-only with one.
enum class Argument : uint8_t { required, positional, keyword };

struct LaterChoice {
    uint32_t since;
    const char* needs;
};

struct Setting {
    const char* name;  // keyword, property, repr and error name
    SettingType type;
    size_t offset;     // of its field in ContextSettings
    size_t size;       // of that field
    SettingRange range;
    int64_t least, most;
    // A choice's names, its value's index into them.
    const char* (*choice_name)(int32_t index);
    int32_t choices;
    // The default: `fallback` (a real's as float), or, when `default_from` is
    // set, that setting's value, the field holding 0 until it is resolved.
    double fallback;
    const char* default_from;
    Argument argument;
    Shown shown;
    // The saved header: its offset there and the first state version holding
    // it; a state of an older version gives the default.
    uint32_t saved_at;
    uint32_t saved_since;
    // For a choice that needs a newer version than the oldest written when
    // it is not its default: what its saved value is, and the value needing
    // that version, in words, for the loader's refusal.
    const char* saved_as;
    const char* needs;
    // A choice whose last name came in a later version than the row: that
    // version and, for the loader's refusal, the value needing it in words.
    const LaterChoice* later_choice;
};

// The first state version holding this value of the row, when it is not the
// row's default (which every version holds).
uint32_t version_needed(const Setting& row, uint64_t value);

// Every setting, positional ones first, in the constructor's order.
const Setting* settings_table();
size_t settings_count();
// The row of that name; throws std::logic_error for none.
const Setting& setting(const char* name);

// A field read or written as a 64-bit pattern: an int32 sign-extended, a
// float32 as its bits, a choice as its index.
uint64_t setting_bits(const Setting& row, const ContextSettings& s);
void set_setting_bits(const Setting& row, ContextSettings& s, uint64_t bits);
// The row's default for these settings.
uint64_t default_bits(const Setting& row, const ContextSettings& s);
bool is_default(const Setting& row, const ContextSettings& s);

// Settings a caller left unset (0 where a default comes from another setting) get it.
void resolve_defaults(ContextSettings& s);
// Throws std::invalid_argument naming the first setting that cannot work, its
// value and the allowed range: "head_dim must be between 1 and 1024, got 0".
// Settings must be resolved.
void check_settings(const ContextSettings& s);
// The same check for one integer setting's value.
void check_setting(const Setting& row, int64_t value);

// The index of a choice's name; throws std::invalid_argument
// ("encoding must be 'clip3' or 'fitted', got 'x'") for none.
int32_t choice_index(const Setting& row, const std::string& name);

// "n_heads=2, head_dim=64, ..., encoding='clip3'" and the options that differ
// from their defaults, as keyword arguments.
std::string settings_text(const ContextSettings& s);
// One setting's value as repr writes it.
std::string setting_text(const Setting& row, const ContextSettings& s);

}  // namespace kelvor
