#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "backend/backend.h"
#include "backend/mha_backend.h"
#include "backend/mha_context.h"
#include "core/attention/attention.h"
#include "core/support/workspace.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

constexpr int32_t kBadHeads[] = {-1, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};

// Everything append can change in a head.
struct HeadState {
    int32_t count, write_slot;
    bool wrapped;
    std::vector<uint8_t> key_codes, val_codes;
    std::vector<float> key_scales, val_scales, exact;
    std::vector<uint32_t> positions;

    explicit HeadState(const HeadCache& h)
        : count(h.store.count),
          write_slot(h.store.write_slot),
          wrapped(h.store.wrapped),
          key_codes(h.store.key_codes.data(), h.store.key_codes.data() + h.store.key_codes.size()),
          val_codes(h.store.val_codes.data(), h.store.val_codes.data() + h.store.val_codes.size()),
          key_scales(h.store.key_scales.begin(), h.store.key_scales.end()),
          val_scales(h.store.val_scales.begin(), h.store.val_scales.end()),
          exact(h.exact.begin(), h.exact.end()),
          positions(h.store.positions.begin(), h.store.positions.end()) {}

    bool operator==(const HeadState& o) const {
        return count == o.count && write_slot == o.write_slot && wrapped == o.wrapped && key_codes == o.key_codes &&
               val_codes == o.val_codes && key_scales == o.key_scales && val_scales == o.val_scales &&
               exact == o.exact && positions == o.positions;
    }
};

std::vector<HeadState> snapshot(const kelvor_mha_ctx& ctx) {
    std::vector<HeadState> s;
    for (const auto& h : ctx.heads) s.emplace_back(*h);
    return s;
}

// Appends n random tokens to head h through the flat operation.
void fill(kelvor_mha_ctx* ctx, int32_t h, int32_t hd, int32_t n, uint32_t seed) {
    const auto data = random_vector(sz(2 * n * hd), seed);
    for (int32_t t = 0; t < n; ++t) {
        kelvor_mha_append(ctx, h, data.data() + sz(2 * t * hd), data.data() + sz((2 * t + 1) * hd), t);
    }
}

TEST(FlatCompute, BadHeadIndexFailsWithoutWriting) {
    const int32_t hd = 16;
    KelvorMHABackend b(3, hd, 3, 8, 1, 0.95f, 512);
    kelvor_mha_ctx* ctx = b.context();
    for (int32_t h = 0; h < 3; ++h) fill(ctx, h, hd, 5 + 3 * h, 10u + uint32_t(h));  // head 2 wrapped
    const auto q = random_vector(sz(4 * hd), 2);
    std::vector<int32_t> bad(std::begin(kBadHeads), std::end(kBadHeads));
    bad.push_back(3);
    for (int32_t idx : bad) {
        SCOPED_TRACE(idx);
        std::vector<float> out(sz(hd), kGuard);
        EXPECT_EQ(kelvor_mha_compute(ctx, idx, q.data(), out.data()), -1);
        EXPECT_STREQ(last_error(), "kelvor_mha_compute: head_idx out of range");
        EXPECT_TRUE(guards_from(out));

        // A valid call clears the message and answers like the head itself.
        for (int32_t h = 0; h < 3; ++h) {
            set_last_error("stale");
            std::vector<float> expected(sz(hd));
            const int32_t count = head_attend(*ctx->heads[sz(h)], q.data(), expected.data());
            EXPECT_EQ(kelvor_mha_compute(ctx, h, q.data(), out.data()), count);
            EXPECT_STREQ(last_error(), "");
            EXPECT_EQ(0, std::memcmp(out.data(), expected.data(), sizeof(float) * sz(hd)));
        }

        std::vector<float> outs(sz(4 * hd), kGuard);
        EXPECT_EQ(kelvor_mha_compute_batch(ctx, idx, q.data(), 4, outs.data()), -1);
        EXPECT_STREQ(last_error(), "kelvor_mha_compute_batch: head_idx out of range");
        EXPECT_TRUE(guards_from(outs));
        EXPECT_EQ(kelvor_mha_compute_batch(ctx, 2, q.data(), 4, outs.data()), 8);
        EXPECT_STREQ(last_error(), "");
        std::vector<float> expected(outs.size());
        head_attend_batch(*ctx->heads[2], q.data(), 4, expected.data());
        EXPECT_EQ(0, std::memcmp(outs.data(), expected.data(), sizeof(float) * outs.size()));
    }
}

TEST(FlatAppend, BadHeadIndexChangesNothing) {
    const int32_t hd = 12;
    KelvorMHABackend b(2, hd, 2, 4, 3, 0.95f, 512);
    kelvor_mha_ctx* ctx = b.context();
    fill(ctx, 0, hd, 6, 20);
    fill(ctx, 1, hd, 2, 21);
    const auto before = snapshot(*ctx);
    const uint64_t bytes = b.kv_bytes();
    const auto kv = random_vector(sz(2 * hd), 22);
    std::vector<int32_t> bad(std::begin(kBadHeads), std::end(kBadHeads));
    bad.push_back(2);
    for (int32_t idx : bad) {
        SCOPED_TRACE(idx);
        kelvor_mha_append(ctx, idx, kv.data(), kv.data() + hd, 99);
        EXPECT_STREQ(last_error(), "kelvor_mha_append: head_idx out of range");
        EXPECT_TRUE(snapshot(*ctx) == before);
        EXPECT_EQ(b.kv_bytes(), bytes);
    }
    // A valid append clears the message and touches only its own head.
    kelvor_mha_append(ctx, 1, kv.data(), kv.data() + hd, 99);
    EXPECT_STREQ(last_error(), "");
    const auto after = snapshot(*ctx);
    EXPECT_TRUE(after[0] == before[0]);
    EXPECT_EQ(after[1].count, 3);
    EXPECT_EQ(after[1].positions[2], 99u);
}

TEST(FlatOps, NullContextFailsLikeABadHead) {
    const int32_t hd = 4;
    const auto v = random_vector(sz(2 * hd), 30);
    kelvor_mha_append(nullptr, 0, v.data(), v.data() + hd, 0);
    EXPECT_STREQ(last_error(), "kelvor_mha_append: head_idx out of range");
    std::vector<float> out(sz(2 * hd), kGuard);
    EXPECT_EQ(kelvor_mha_compute(nullptr, 0, v.data(), out.data()), -1);
    EXPECT_STREQ(last_error(), "kelvor_mha_compute: head_idx out of range");
    EXPECT_EQ(kelvor_mha_compute_batch(nullptr, 0, v.data(), 2, out.data()), -1);
    EXPECT_STREQ(last_error(), "kelvor_mha_compute_batch: head_idx out of range");
    EXPECT_TRUE(guards_from(out));
}

TEST(FlatComputeBatch, ZeroRowsAndNegativeRows) {
    const int32_t hd = 8;
    KelvorMHABackend b(2, hd, 4, 16, 0, 0.95f, 512);
    kelvor_mha_ctx* ctx = b.context();
    fill(ctx, 1, hd, 7, 40);
    const auto q = random_vector(sz(hd), 41);
    const auto before = snapshot(*ctx);

    std::vector<float> out(sz(hd), kGuard);
    set_last_error("stale");
    EXPECT_EQ(kelvor_mha_compute_batch(ctx, 1, q.data(), 0, out.data()), 7);
    EXPECT_STREQ(last_error(), "");
    EXPECT_EQ(kelvor_mha_compute_batch(ctx, 0, q.data(), 0, out.data()), 0);
    EXPECT_TRUE(guards_from(out));

    for (int32_t n : {-1, -8, std::numeric_limits<int32_t>::min()}) {
        EXPECT_EQ(kelvor_mha_compute_batch(ctx, 1, q.data(), n, out.data()), -1) << n;
        EXPECT_NE(std::string(last_error()), "") << n;
        EXPECT_TRUE(guards_from(out));
    }
    EXPECT_TRUE(snapshot(*ctx) == before);
}

TEST(KvBytes, CountsHeldCodesOnly) {
    const int32_t hd = 128;
    const int32_t cap = 16;
    KelvorMHABackend b(3, hd, 4, cap, 5, 0.95f, 512);
    kelvor_mha_ctx* ctx = b.context();
    EXPECT_EQ(b.kv_bytes(), 0u);
    fill(ctx, 1, hd, 10, 50);
    EXPECT_EQ(b.kv_bytes(), 1280u);  // 10 tokens * 64 bytes * (key + value)
    fill(ctx, 1, hd, 6, 51);
    EXPECT_EQ(b.kv_bytes(), uint64_t(cap) * 64u * 2u);
    fill(ctx, 1, hd, 9, 52);
    EXPECT_EQ(b.kv_bytes(), uint64_t(cap) * 64u * 2u);
    fill(ctx, 2, hd, 3, 53);
    EXPECT_EQ(b.kv_bytes(), uint64_t(cap) * 128u + 3u * 128u);
    b.reset();
    EXPECT_EQ(b.kv_bytes(), 0u);
    EXPECT_EQ(b.n_heads(), 3);
    EXPECT_EQ(b.head_dim(), hd);
    fill(ctx, 0, hd, 1, 54);
    EXPECT_EQ(b.kv_bytes(), 128u);

    // Small heads: P 8 at 3 bits is 3 bytes per stream.
    KelvorMHABackend small(1, 5, 3, 4, 0, 0.95f, 512);
    fill(small.context(), 0, 5, 3, 55);
    EXPECT_EQ(small.kv_bytes(), 3u * 3u * 2u);
}

TEST(Backend, InterfaceOperationsForwardToFlatOps) {
    const int32_t hd = 24;
    KelvorMHABackend a(2, hd, 2, 6, 5, 0.95f, 512);
    KelvorMHABackend b(2, hd, 2, 6, 5, 0.95f, 512);
    IKelvorBackend& ia = a;
    const auto data = random_vector(sz(2 * 9 * hd), 60);
    for (int32_t h = 0; h < 2; ++h) {
        for (int32_t t = 0; t < 9 - 4 * h; ++t) {  // head 0 wrapped, head 1 exact
            const float* k = data.data() + sz(2 * t * hd);
            ia.append(h, k, k + hd, -t);
            kelvor_mha_append(b.context(), h, k, k + hd, -t);
        }
    }
    for (int32_t h = 0; h < 2; ++h) {
        EXPECT_TRUE(HeadState(*a.context()->heads[sz(h)]) == HeadState(*b.context()->heads[sz(h)]));
        const auto qs = random_vector(sz(3 * hd), 61u + uint32_t(h));
        std::vector<float> oa(qs.size()), ob(qs.size());
        EXPECT_EQ(ia.compute(h, qs.data(), oa.data()), kelvor_mha_compute(b.context(), h, qs.data(), ob.data()));
        EXPECT_EQ(0, std::memcmp(oa.data(), ob.data(), sizeof(float) * sz(hd)));
        EXPECT_EQ(ia.compute_batch(h, qs.data(), 3, oa.data()),
                  kelvor_mha_compute_batch(b.context(), h, qs.data(), 3, ob.data()));
        EXPECT_EQ(0, std::memcmp(oa.data(), ob.data(), sizeof(float) * oa.size()));
    }
    EXPECT_EQ(ia.kv_bytes(), b.kv_bytes());

    // Failures travel the same way.
    std::vector<float> out(sz(hd), kGuard);
    EXPECT_EQ(ia.compute(2, data.data(), out.data()), -1);
    EXPECT_STREQ(last_error(), "kelvor_mha_compute: head_idx out of range");
    EXPECT_EQ(ia.compute_batch(-1, data.data(), 1, out.data()), -1);
    EXPECT_STREQ(last_error(), "kelvor_mha_compute_batch: head_idx out of range");
    EXPECT_TRUE(guards_from(out));
    const uint64_t bytes = ia.kv_bytes();
    ia.append(7, data.data(), data.data() + hd, 0);
    EXPECT_STREQ(last_error(), "kelvor_mha_append: head_idx out of range");
    EXPECT_EQ(ia.kv_bytes(), bytes);
}

TEST(LastError, IsPerThread) {
    const int32_t hd = 4;
    KelvorMHABackend b(1, hd, 2, 4, 0, 0.95f, 512);
    const auto q = random_vector(sz(hd), 70);
    std::vector<float> out(sz(hd));

    clear_last_error();
    std::string seen_there;
    std::thread t1([&] {
        kelvor_mha_compute(b.context(), 5, q.data(), out.data());
        seen_there = last_error();
    });
    t1.join();
    EXPECT_EQ(seen_there, "kelvor_mha_compute: head_idx out of range");
    EXPECT_STREQ(last_error(), "");

    // A failure here is not visible there, and a success there does not clear it here.
    kelvor_mha_append(b.context(), -1, q.data(), q.data(), 0);
    std::string before_there, after_there;
    std::thread t2([&] {
        before_there = last_error();
        kelvor_mha_compute(b.context(), 0, q.data(), out.data());
        after_there = last_error();
    });
    t2.join();
    EXPECT_EQ(before_there, "");
    EXPECT_EQ(after_there, "");
    EXPECT_STREQ(last_error(), "kelvor_mha_append: head_idx out of range");
}

}  // namespace
}  // namespace kelvor::test
