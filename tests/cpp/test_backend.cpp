#include <gtest/gtest.h>

#include <limits>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <vector>

#include "backend/mha_backend.h"
#include "core/support/memory_budget.h"
#include "core/support/workspace.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

std::string construction_error(int32_t n_heads, int32_t head_dim, int32_t bits, int32_t capacity) {
    try {
        KelvorMHABackend b(n_heads, head_dim, bits, capacity, 0, 0.95f, 512);
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "";
}

TEST(BackendConstruction, BuildsEveryHeadWithItsSeed) {
    KelvorMHABackend b(3, 5, 3, 10, 0, 0.95f, 7);
    EXPECT_EQ(b.n_heads(), 3);
    EXPECT_EQ(b.head_dim(), 5);
    EXPECT_EQ(b.kv_bytes(), 0u);
    const kelvor_mha_ctx* ctx = b.context();
    ASSERT_EQ(ctx->n_heads, 3);
    ASSERT_EQ(ctx->heads.size(), 3u);
    for (int32_t i = 0; i < 3; ++i) {
        const HeadCache& h = *ctx->heads[static_cast<size_t>(i)];
        EXPECT_EQ(h.rotation.signs, signs_for(head_seed(0, i), 8));
        EXPECT_EQ(h.hybrid_thresh, 7);
        EXPECT_EQ(h.exact_window, 512);
        EXPECT_EQ(h.store.capacity, 10);
        EXPECT_EQ(h.store.bits, 3);
    }
}

TEST(BackendConstruction, RejectsSettingsThatCannotWork) {
    EXPECT_EQ(construction_error(0, 8, 2, 4), "n_heads must be at least 1, got 0");
    EXPECT_EQ(construction_error(-3, 8, 2, 4), "n_heads must be at least 1, got -3");
    EXPECT_EQ(construction_error(1, 0, 2, 4), "head_dim must be between 1 and 1024, got 0");
    EXPECT_EQ(construction_error(1, 1025, 2, 4), "head_dim must be between 1 and 1024, got 1025");
    EXPECT_EQ(construction_error(1, -8, 2, 4), "head_dim must be between 1 and 1024, got -8");
    EXPECT_EQ(construction_error(1, 8, 1, 4), "bits must be 2, 3 or 4, got 1");
    EXPECT_EQ(construction_error(1, 8, 5, 4), "bits must be 2, 3 or 4, got 5");
    EXPECT_EQ(construction_error(1, 8, 2, 0), "capacity must be between 1 and 1048576, got 0");
    EXPECT_EQ(construction_error(1, 8, 2, 1048577), "capacity must be between 1 and 1048576, got 1048577");
    EXPECT_EQ(construction_error(1, 8, 4, 1048576), "");
    EXPECT_EQ(construction_error(1, 1024, 4, 1), "");
    EXPECT_EQ(construction_error(1, 1, 2, 1), "");
}

// About 99 TiB: refused before a byte is allocated, naming the bytes asked for.
TEST(BackendConstruction, RefusesMoreThanTheMachineHas) {
    const uint64_t asked = 100000 * head_cache_bytes(1024, 4, 1 << 20, Encoding::clip3);
    try {
        KelvorMHABackend b(100000, 1024, 4, 1 << 20, 0, 0.95f, 512);
        FAIL() << "built";
    } catch (const MemoryBudgetError& e) {
        const std::string limit = std::to_string(memory_limit().bytes);
        EXPECT_EQ(std::string(e.what()).rfind("a context of 100000 heads needs " + std::to_string(asked) + " bytes (", 0), 0u)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("more than the " + limit + " bytes of memory on this machine"),
                  std::string::npos)
            << e.what();
    }
}

TEST(BackendReset, EmptiesEveryHeadAndClearsLastError) {
    KelvorMHABackend b(2, 16, 4, 8, 9, 0.95f, 512);
    std::vector<float> key(16, 0.5f), val(16, -0.25f);
    for (int i = 0; i < 3; ++i) b.append(1, key.data(), val.data(), i);
    EXPECT_EQ(b.kv_bytes(), 3u * 8u * 2u);
    set_last_error("stale");
    b.reset();
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(b.kv_bytes(), 0u);
    EXPECT_EQ(b.n_heads(), 2);
    EXPECT_EQ(b.head_dim(), 16);
}

// Only their checks make these, so what takes one cannot skip the check.
static_assert(!std::is_constructible_v<HeadIndex, int32_t> && !std::is_constructible_v<TokenPositions, int32_t, int64_t>);

// Refusals travel as exceptions only: last_error, the flat operations' channel, is left as it was.
TEST(BackendChecked, RefusalsAreExceptionsAndStopsAreFalseWithNothingStored) {
    KelvorMHABackend b(2, 8, 3, 16, 5, 0.95f, 512);
    b.set_threads(2);
    const auto kv = random_vector(32, 31);  // two tokens of two rows
    std::vector<float> bad = kv, big(8, 1e20f);
    bad[11] = std::numeric_limits<float>::quiet_NaN();  // token 0, row 1
    const StopPoll stop = [] { return true; };
    set_last_error("stale");
    EXPECT_EQ(refusal([&] { b.check_head(2); }), "IndexError: head 2 is out of range for a context with 2 heads");
    EXPECT_EQ(refusal([&] { b.check_head(-1); }), "IndexError: head -1 is out of range for a context with 2 heads");
    EXPECT_EQ(refusal([&] { b.append_checked(b.check_head(0), kv.data(), bad.data() + 8, 1); }),
              "key and val must be finite");
    EXPECT_EQ(refusal([&] { b.append_checked(b.check_head(1), big.data(), kv.data(), 1); }),
              "key and val must have a norm below 1.8e19");
    EXPECT_EQ(refusal([&] { b.append_layer(bad.data(), kv.data(), 1); }), "keys and vals must be finite; row 1 is not");
    EXPECT_EQ(refusal([&] { b.append_tokens(kv.data(), bad.data(), token_positions(1, 2), nullptr); }),
              "keys and vals must be finite; token 0, row 1 is not");
    for (auto [pos, T] : {std::pair<int32_t, int64_t>{std::numeric_limits<int32_t>::max() - 1, 3}, {0, -1}}) {
        EXPECT_EQ(refusal([&] { token_positions(pos, T); }),
                  "the positions pos ... pos + T - 1 must fit in int32; pos " + std::to_string(pos) + " and T " +
                      std::to_string(T) + " do not");
    }
    EXPECT_EQ(refusal([&] { token_positions(std::numeric_limits<int32_t>::max() - 1, 2); }), "");
    EXPECT_FALSE(b.append_tokens(kv.data(), kv.data(), token_positions(1, 2), &stop));
    EXPECT_EQ(b.tokens(b.check_head(0)) + b.tokens(b.check_head(1)), 0);
    EXPECT_STREQ(last_error(), "stale");
}

}  // namespace
}  // namespace kelvor::test
