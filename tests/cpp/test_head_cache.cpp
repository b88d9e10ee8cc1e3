#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "backend/mha_context.h"
#include "core/codecs/codec.h"
#include "core/heads/head_cache.h"
#include "core/support/workspace.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

// As ints, so that a failure prints numbers rather than characters.
std::vector<int> signs_of(uint64_t seed, int32_t n) {
    const std::vector<int8_t> s = signs_for(seed, n);
    return std::vector<int>(s.begin(), s.end());
}

TEST(SignDiagonal, SeedZeroAndOne) {
    EXPECT_EQ(signs_of(0, 16), (std::vector<int>{-1, -1, 1, 1, -1, 1, 1, -1, -1, 1, 1, -1, 1, 1, -1, 1}));
    EXPECT_EQ(signs_of(1, 16), (std::vector<int>{1, 1, 1, 1, 1, 1, 1, 1, 1, -1, -1, 1, -1, 1, -1, 1}));
}

TEST(SignDiagonal, HeadSeeds) {
    EXPECT_EQ(signs_of(head_seed(0, 0), 8), (std::vector<int>{-1, -1, 1, 1, -1, 1, 1, -1}));
    EXPECT_EQ(signs_of(head_seed(0, 1), 8), (std::vector<int>{1, -1, 1, -1, 1, -1, 1, 1}));
    for (uint64_t s : {1ULL, 42ULL, 0x123456789abcdefULL, ~0ULL}) {
        EXPECT_EQ(signs_of(head_seed(s, 0), 64), signs_of(head_seed(s ^ 0xdeadbeefcafeULL, 1), 64)) << s;
    }
}

TEST(SignDiagonal, PrefixIsStable) {
    // Longer vectors extend shorter ones: the generator is advanced per entry.
    const auto long_signs = signs_of(7, 1024);
    const auto short_signs = signs_of(7, 100);
    EXPECT_TRUE(std::equal(short_signs.begin(), short_signs.end(), long_signs.begin()));
    for (int s : long_signs) EXPECT_TRUE(s == 1 || s == -1);
}

TEST(HeadCacheInit, DerivedSizes) {
    struct Case {
        int32_t head_dim, bits, capacity, P, bytes_per_vec, code_bytes;
    };
    const Case cases[] = {
        {128, 3, 3, 128, 48, 192}, {5, 2, 4, 8, 2, 64},   {128, 2, 1, 128, 32, 64}, {128, 4, 2, 128, 64, 128},
        {1, 2, 1, 1, 1, 64},       {1024, 4, 1, 1024, 512, 512}, {100, 3, 7, 128, 48, 384}, {40, 4, 5, 64, 32, 192},
        {128, 4, 4096, 128, 64, 262144},  // large enough for rings mapped from the kernel
    };
    for (const Case& c : cases) {
        HeadCache head;
        head_cache_init(head, c.head_dim, c.bits, c.capacity, 0, 0.95f);
        // An empty head holds no ring; the first append makes it.
        EXPECT_EQ(head.store.key_codes.data(), nullptr);
        EXPECT_TRUE(head.store.key_scales.empty());
        head_cache_make_ring(head);
        EXPECT_EQ(head.rotation.P, c.P);
        EXPECT_EQ(head.P, c.P);
        EXPECT_EQ(head.store.bytes_per_vec, c.bytes_per_vec);
        EXPECT_EQ(head.store.key_codes.size(), static_cast<size_t>(c.code_bytes));
        EXPECT_EQ(head.store.val_codes.size(), static_cast<size_t>(c.code_bytes));
        EXPECT_EQ(reinterpret_cast<uintptr_t>(head.store.key_codes.data()) % 64, 0u);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(head.store.val_codes.data()) % 64, 0u);
        EXPECT_EQ(head.store.count, 0);
        EXPECT_EQ(head.store.write_slot, 0);
        EXPECT_EQ(head.exact_window, 512);
        EXPECT_EQ(head.exact.capacity(), 0u);  // the window grows with the tokens
        // Small arrays start with a few slots and grow as the ring first fills.
        ASSERT_EQ(head.store.slots, std::min(c.capacity, 16));
        ASSERT_GE(head.store.key_scales.size(), static_cast<size_t>(head.store.slots));
        // Zero like the codes: a fresh head's arrays hold nothing stale, and a
        // slot's scale is first read after an append has written it.
        for (float s : head.store.key_scales) EXPECT_EQ(bits_of(s), 0u);
        for (float s : head.store.val_scales) EXPECT_EQ(bits_of(s), 0u);
        for (uint32_t p : head.store.positions) EXPECT_EQ(p, 0u);
        for (size_t i = 0; i < head.store.key_codes.size(); ++i) {
            ASSERT_EQ(head.store.key_codes.data()[i], 0);
            ASSERT_EQ(head.store.val_codes.data()[i], 0);
        }
    }
}

// The weight a context is checked against before it is built bounds what a
// head ever holds; an empty head holds little beyond its signs, and a released
// window gives its memory back.
TEST(HeadCacheInit, HeldBytesFollowTheTokensWithinTheWeight) {
    const KernelTable& kt = scalar_kernels();
    for (Encoding encoding : kEncodings) {
        for (auto [hd, bits, capacity] : {std::array{5, 2, 40}, std::array{128, 3, 1000}, std::array{64, 4, 70000}}) {
            SCOPED_TRACE(testing::Message() << encoding_name(encoding) << " " << hd << " " << bits << " " << capacity);
            const HeadOptions options{2, 16, 4};
            HeadCache head;
            head_cache_init(head, hd, bits, capacity, 0, 0.95f, encoding, options);
            const uint64_t most = head_cache_bytes(hd, bits, capacity, encoding, options);
            const size_t stats = 3 * sizeof(float) * sz(hd) * (encoding == Encoding::fitted ? 1 : 0);
            EXPECT_LE(head_cache_held_bytes(head), sizeof(HeadCache) + head.rotation.signs.capacity() + stats);
            const Tokens tok = random_tokens(hd, 700, 3);
            uint64_t peak = 0;
            for (size_t t = 0; t < 700; ++t) {
                head_append(kt, head, tok.key(t), tok.val(t), int32_t(t));
                peak = std::max(peak, head_cache_held_bytes(head));
            }
            EXPECT_LE(peak, most);
            // Past the window only the sinks stay at full precision.
            EXPECT_EQ(head.exact.capacity(), sz(options.sinks) * 2 * sz(hd));
            EXPECT_LT(head_cache_held_bytes(head), peak);
        }
    }
}

TEST(HeadCacheInit, SignsFollowSeed) {
    HeadCache head;
    head_cache_init(head, 5, 3, 4, 0, 0.5f);
    EXPECT_EQ(std::vector<int>(head.rotation.signs.begin(), head.rotation.signs.end()), signs_of(0, 8));
    EXPECT_EQ(head.v_mass, 0.5f);
}

TEST(HeadCacheReset, KeepsBuffersButEmptiesHead) {
    HeadCache head = make_head(8, 2, 4, 3);
    const uint8_t* key_codes = head.store.key_codes.data();
    head.store.key_codes.data()[0] = 0xAB;
    head.store.count = 3;
    head.store.write_slot = 3;
    head.exact.assign(48, 1.0f);
    const auto signs = head.rotation.signs;

    head_cache_reset(head);
    EXPECT_EQ(head.store.count, 0);
    EXPECT_EQ(head.store.write_slot, 0);
    EXPECT_TRUE(head.exact.empty());
    EXPECT_EQ(head.store.key_codes.data(), key_codes);
    EXPECT_EQ(head.store.key_codes.data()[0], 0xAB);
    EXPECT_EQ(head.rotation.signs, signs);
}

TEST(HeadCacheDestroy, ReleasesBuffers) {
    HeadCache head;
    head_cache_init(head, 64, 4, 16, 0, 0.95f);
    head_cache_destroy(head);
    EXPECT_EQ(head.store.key_codes.data(), nullptr);
    EXPECT_EQ(head.store.val_codes.data(), nullptr);
    EXPECT_TRUE(head.store.key_scales.empty());
    EXPECT_TRUE(head.rotation.signs.empty());
}

TEST(ThreadWorkspace, LastErrorIsBoundedAndPerThread) {
    const std::string long_message(400, 'x');
    set_last_error(long_message.c_str());
    EXPECT_EQ(std::string(last_error()), std::string(255, 'x'));
    clear_last_error();
    EXPECT_STREQ(last_error(), "");
}

}  // namespace
}  // namespace kelvor::test
