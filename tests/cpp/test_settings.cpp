// The settings table: every row, whatever it is, is saved in bytes of its own
// and comes back from a saved state as it went in.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "backend/context_state.h"
#include "core/state/settings.h"
#include "core/state/state_header.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

// fitted: the encoding every option works with.
ContextSettings base() { return ContextSettings{2, 8, 2, 16, 1, 0.95f, 512, Encoding::fitted, 1, {2, 0, 0, false}}; }

// Another value the row accepts, chosen from the row alone so that a new row is covered unasked.
uint64_t other_value(const Setting& row, const ContextSettings& s) {
    const uint64_t now = setting_bits(row, s);
    switch (row.type) {
        case SettingType::choice: return (now + 1) % static_cast<uint64_t>(row.choices);
        case SettingType::uint64: return now ^ 0x8000000000000005ULL;
        case SettingType::float32: return 0x3e800000u;  // 0.25f
        case SettingType::int32: break;
    }
    if (row.range == SettingRange::code_width) return now == 2 ? 3 : 2;
    if (row.range == SettingRange::any) return static_cast<uint64_t>(int64_t{-3});
    return static_cast<uint64_t>(row.least + 1 == static_cast<int64_t>(now) ? row.least + 2 : row.least + 1);
}

class EverySetting : public testing::TestWithParam<size_t> {};

TEST_P(EverySetting, IsSavedInItsOwnBytesAndLoadedBack) {
    const Setting& row = settings_table()[GetParam()];
    SCOPED_TRACE(row.name);
    const ContextSettings before = base();
    ContextSettings after = before;
    set_setting_bits(row, after, other_value(row, before));
    ASSERT_NE(setting_bits(row, after), setting_bits(row, before));
    ASSERT_NO_THROW(check_settings(after));

    // An older version's header is shorter: the bytes past it stay 0.
    uint8_t a[kStateHeaderBytes] = {}, b[kStateHeaderBytes] = {};
    put_header(before, 100, a);
    put_header(after, 100, b);
    const size_t size = row.type == SettingType::uint64 ? 8 : 4;
    for (size_t i = 0; i < kStateHeaderBytes; ++i) {
        const bool own = i >= row.saved_at && i < row.saved_at + size;
        const bool version = i >= 8 && i < 12 && state_version(after) != state_version(before);
        if (!own && !version) {
            EXPECT_EQ(a[i], b[i]) << "byte " << i;
        }
    }
    EXPECT_GE(state_version(after), row.saved_since);

    const KelvorMHABackend backend(after);
    std::vector<uint8_t> blob(state_bytes(backend));
    save_state(backend, blob.data(), blob.size());
    const ContextSettings loaded = check_state(blob.data(), blob.size()).settings;
    for (size_t i = 0; i < settings_count(); ++i) {
        const Setting& each = settings_table()[i];
        EXPECT_EQ(setting_bits(each, loaded), setting_bits(each, after)) << each.name;
    }
}

INSTANTIATE_TEST_SUITE_P(Table, EverySetting, testing::Range(size_t{0}, settings_count()),
                         [](const testing::TestParamInfo<size_t>& info) {
                             return std::string(settings_table()[info.param].name);
                         });

}  // namespace
}  // namespace kelvor::test
