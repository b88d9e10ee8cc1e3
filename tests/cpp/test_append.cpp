#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/encoder.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

const uint8_t* key_slot(const HeadCache& head, int32_t s) {
    return head.store.key_codes.data() + sz(s) * sz(head.store.bytes_per_vec);
}
const uint8_t* val_slot(const HeadCache& head, int32_t s) {
    return head.store.val_codes.data() + sz(s) * sz(head.store.bytes_per_vec);
}

// Slot s holds exactly the encoder's streams and scales for this key and value.
void expect_slot_holds(const KernelTable& kt, const HeadCache& head, int32_t s, const float* key, const float* val) {
    const EncodedStream k = encode_stream(kt, head, key);
    const EncodedStream v = encode_stream(kt, head, val);
    const size_t B = sz(head.store.bytes_per_vec);
    EXPECT_EQ(0, std::memcmp(key_slot(head, s), k.stream.data(), B)) << "key codes, slot " << s;
    EXPECT_EQ(0, std::memcmp(val_slot(head, s), v.stream.data(), B)) << "value codes, slot " << s;
    EXPECT_EQ(std::memcmp(&head.store.key_scales[sz(s)], &k.scale, sizeof(float)), 0) << "key scale, slot " << s;
    EXPECT_EQ(std::memcmp(&head.store.val_scales[sz(s)], &v.scale, sizeof(float)), 0) << "value scale, slot " << s;
}

// Quantized attention over tokens [begin, end), encoded afresh (not read from
// any ring) and decoded in double.
Ref encoded_ref(const KernelTable& kt, const HeadCache& head, const Tokens& tok, size_t begin, size_t end,
                const float* q) {
    std::vector<std::vector<double>> keys, vals;
    for (size_t t = begin; t < end; ++t) {
        const EncodedStream k = encode_stream(kt, head, tok.key(t));
        const EncodedStream v = encode_stream(kt, head, tok.val(t));
        keys.push_back(decode(head, k.stream.data(), k.scale));
        vals.push_back(decode(head, v.stream.data(), v.scale));
    }
    return attention_ref(keys, vals, q);
}

TEST(HeadAppend, CapacityOneAlwaysWritesSlotZero) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 16;
        HeadCache head = make_head(hd, 3, 1, 11);
        const Tokens tok = random_tokens(hd, 5, 1, 0.3f);
        for (size_t t = 0; t < 5; ++t) {
            head_append(*kt, head, tok.key(t), tok.val(t), int32_t(100 + t));
            EXPECT_EQ(head.store.count, 1);
            EXPECT_EQ(head.store.write_slot, 0);
            EXPECT_EQ(head.store.positions[0], uint32_t(100 + t));
            expect_slot_holds(*kt, head, 0, tok.key(t), tok.val(t));
            // The window is released once nothing reads it: from the first wrap on.
            EXPECT_EQ(head.exact.size(), t == 0 ? 2 * sz(hd) : 0u);
            // Only the first token is answered exactly; after that the ring has
            // replaced it and the one held token, weight 1, is the newest.
            EXPECT_EQ(answers_exactly(head), t == 0);
            const auto q = random_vector(sz(hd), uint32_t(t));
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 1);
            if (t == 0) {
                EXPECT_EQ(0, std::memcmp(out.data(), tok.val(0), sizeof(float) * sz(hd)));
            } else {
                EXPECT_LE(rel_err(out.data(), encoded_ref(*kt, head, tok, t, t + 1, q.data())), kTol);
            }
        }
    }
}

TEST(HeadAppend, CapacityFourAfterSixAppends) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t bits : kCodeWidths) {
            const int32_t hd = 24;
            HeadCache head = make_head(hd, bits, 4, 11);
            const Tokens tok = random_tokens(hd, 6, 2u + uint32_t(bits), 0.3f);
            append_range(*kt, head, tok, 0, 6);
            EXPECT_EQ(head.store.count, 4);
            EXPECT_EQ(head.store.write_slot, 2);
            // The ring has replaced tokens, so the window answers no more and is released.
            EXPECT_TRUE(head.exact.empty());
            // Slots 0, 1 were overwritten by tokens 4, 5; slots 2, 3 still hold 2, 3.
            expect_slot_holds(*kt, head, 0, tok.key(4), tok.val(4));
            expect_slot_holds(*kt, head, 1, tok.key(5), tok.val(5));
            expect_slot_holds(*kt, head, 2, tok.key(2), tok.val(2));
            expect_slot_holds(*kt, head, 3, tok.key(3), tok.val(3));
            EXPECT_FALSE(answers_exactly(head));
            const auto q = random_vector(sz(hd), 7);
            std::vector<float> out(sz(hd));
            ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 4);
            EXPECT_LE(rel_err(out.data(), encoded_ref(*kt, head, tok, 2, 6, q.data())), kTol) << "bits " << bits;
        }
    }
}

TEST(HeadAppend, WindowStopsAt512TokensAfterReset) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t capacity : {513, 1000}) {
            const int32_t hd = 6;
            HeadCache head = make_head(hd, 2, capacity, 11);
            const Tokens before = random_tokens(hd, 20, 3, 0.3f);
            for (size_t t = 0; t < 20; ++t) head_append(*kt, head, before.key(t), before.val(t), 0);
            head_cache_reset(head);
            const Tokens tok = random_tokens(hd, 513, 4, 0.3f);
            append_range(*kt, head, tok, 0, 512);
            EXPECT_TRUE(answers_exactly(head));
            // The window holds exactly the first 512 tokens since the reset.
            ASSERT_EQ(head.exact.size(), 512 * 2 * sz(hd));
            for (size_t t = 0; t < 512; ++t) {
                ASSERT_EQ(0, std::memcmp(head.exact.data() + 2 * t * sz(hd), tok.key(t), sizeof(float) * sz(hd)));
                ASSERT_EQ(0, std::memcmp(head.exact.data() + (2 * t + 1) * sz(hd), tok.val(t), sizeof(float) * sz(hd)));
            }
            head_append(*kt, head, tok.key(512), tok.val(512), 512);
            EXPECT_EQ(head.store.count, 513);
            EXPECT_EQ(head.store.write_slot, 513 % capacity);
            EXPECT_FALSE(answers_exactly(head));
            EXPECT_TRUE(head.exact.empty());
            expect_slot_holds(*kt, head, 512, tok.key(512), tok.val(512));
        }
    }
}

TEST(HeadAppend, PositionsKeepThe32BitPattern) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 4;
        const int32_t pos[] = {std::numeric_limits<int32_t>::min(), -1, 0, 1, 7, std::numeric_limits<int32_t>::max(),
                               -123456};
        const uint32_t expected[] = {0x80000000u, 0xFFFFFFFFu, 0u, 1u, 7u, 0x7FFFFFFFu, 0xFFFE1DC0u};
        HeadCache head = make_head(hd, 4, 8, 11);
        const Tokens tok = random_tokens(hd, 7, 5, 0.3f);
        for (size_t t = 0; t < 7; ++t) head_append(*kt, head, tok.key(t), tok.val(t), pos[t]);
        for (size_t t = 0; t < 7; ++t) EXPECT_EQ(head.store.positions[t], expected[t]) << t;
        EXPECT_EQ(head.store.positions[7], 0u);
        // Wrapping overwrites the position along with the codes.
        head_append(*kt, head, tok.key(0), tok.val(0), 42);
        head_append(*kt, head, tok.key(0), tok.val(0), -2);
        EXPECT_EQ(head.store.positions[7], 42u);
        EXPECT_EQ(head.store.positions[0], 0xFFFFFFFEu);
        EXPECT_EQ(head.store.positions[1], 0xFFFFFFFFu);
    }
}

TEST(HeadAppend, SlotHoldsEncodedKeyAndValueAndNothingElseChanges) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        for (int32_t bits : kCodeWidths) {
            for (int32_t hd : {1, 5, 100, 128}) {
                const int32_t cap = 3;
                HeadCache head = make_head(hd, bits, cap, 11);
                const Tokens tok = random_tokens(hd, 7, uint32_t(hd + bits), 0.3f);
                const size_t B = sz(head.store.bytes_per_vec);
                const size_t used = B * sz(cap);
                for (size_t t = 0; t < 7; ++t) {
                    const std::vector<uint8_t> keys_before(head.store.key_codes.data(),
                                                           head.store.key_codes.data() + head.store.key_codes.size());
                    const std::vector<uint8_t> vals_before(head.store.val_codes.data(),
                                                           head.store.val_codes.data() + head.store.val_codes.size());
                    const std::vector<float> key_scales(head.store.key_scales.begin(), head.store.key_scales.end());
                    const std::vector<float> val_scales(head.store.val_scales.begin(), head.store.val_scales.end());
                    const int32_t s = int32_t(t % cap);
                    ASSERT_EQ(head.store.write_slot, s);
                    head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
                    expect_slot_holds(*kt, head, s, tok.key(t), tok.val(t));
                    for (size_t i = 0; i < head.store.key_codes.size(); ++i) {
                        if (i >= sz(s) * B && i < sz(s + 1) * B) continue;
                        ASSERT_EQ(head.store.key_codes.data()[i], keys_before[i]) << "byte " << i;
                        ASSERT_EQ(head.store.val_codes.data()[i], vals_before[i]) << "byte " << i;
                    }
                    // The padding after the last slot is never written.
                    for (size_t i = used; i < head.store.key_codes.size(); ++i) {
                        ASSERT_EQ(head.store.key_codes.data()[i], 0);
                        ASSERT_EQ(head.store.val_codes.data()[i], 0);
                    }
                    for (int32_t o = 0; o < cap; ++o) {
                        if (o == s) continue;
                        EXPECT_EQ(head.store.key_scales[sz(o)], key_scales[sz(o)]);
                        EXPECT_EQ(head.store.val_scales[sz(o)], val_scales[sz(o)]);
                    }
                }
            }
        }
    }
}

TEST(HeadAppend, ResetStartsAgainAtSlotZeroOnTheExactPath) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 10;
        HeadCache head = make_head(hd, 3, 4, 11);
        const Tokens tok = random_tokens(hd, 8, 6, 0.3f);
        append_range(*kt, head, tok, 0, 6);
        ASSERT_FALSE(answers_exactly(head));
        head_cache_reset(head);
        head_append(*kt, head, tok.key(6), tok.val(6), 6);
        EXPECT_EQ(head.store.count, 1);
        EXPECT_EQ(head.store.write_slot, 1);
        EXPECT_EQ(head.exact.size(), 2 * sz(hd));
        expect_slot_holds(*kt, head, 0, tok.key(6), tok.val(6));
        ASSERT_TRUE(answers_exactly(head));
        const auto q = random_vector(sz(hd), 8);
        std::vector<float> out(sz(hd));
        ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 1);
        EXPECT_EQ(0, std::memcmp(out.data(), tok.val(6), sizeof(float) * sz(hd)));
        // Filling the ring again without wrapping stays exact.
        for (size_t t = 0; t < 3; ++t) head_append(*kt, head, tok.key(t), tok.val(t), 0);
        EXPECT_EQ(head.store.count, 4);
        EXPECT_EQ(head.store.write_slot, 0);
        EXPECT_TRUE(answers_exactly(head));
    }
}

TEST(HeadAppend, Capacity512WrapSwitchesToTheLatestTokens) {
    for (const KernelTable* kt : available_tables()) {
        SCOPED_TRACE(kt->name);
        const int32_t hd = 16;
        HeadCache head = make_head(hd, 3, 512, 11);
        Tokens tok = random_tokens(hd, 513, 9, 0.3f);
        const auto q = random_vector(sz(hd), 10);
        // Token 512 stands out (key along the query, odd value), so the answer
        // over tokens 1..512 is far from the one over tokens 0..511.
        for (int32_t i = 0; i < hd; ++i) {
            tok.key(512)[i] = 3.0f * q[sz(i)];
            tok.val(512)[i] = -5.0f;
        }
        append_range(*kt, head, tok, 0, 512);
        EXPECT_EQ(head.store.count, 512);
        EXPECT_EQ(head.store.write_slot, 0);
        EXPECT_TRUE(answers_exactly(head));

        head_append(*kt, head, tok.key(512), tok.val(512), 512);
        EXPECT_EQ(head.store.count, 512);
        EXPECT_EQ(head.store.write_slot, 1);
        EXPECT_TRUE(head.exact.empty());
        EXPECT_FALSE(answers_exactly(head));
        expect_slot_holds(*kt, head, 0, tok.key(512), tok.val(512));

        const Ref latest = encoded_ref(*kt, head, tok, 1, 513, q.data());
        const Ref first = encoded_ref(*kt, head, tok, 0, 512, q.data());
        ASSERT_GT(rel_err(first, latest), 1000 * kTol);
        std::vector<float> out(sz(hd));
        ASSERT_EQ(head_attend(*kt, head, q.data(), out.data()), 512);
        EXPECT_LE(rel_err(out.data(), latest), kTol);
    }
}

}  // namespace
}  // namespace kelvor::test
