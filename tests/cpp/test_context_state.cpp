// Saved contexts: restored ones answer and grow bit for bit like the original at
// every level, each kind of damage is refused by name, and a fuzzed loader
// either refuses or restores exactly what it was given.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/context_state.h"
#include "backend/mha_backend.h"
#include "core/attention/attention.h"
#include "core/support/checksum.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

using Blob = std::vector<uint8_t>;

struct Scenario {
    Encoding encoding;
    int32_t bits, head_dim, capacity;
    int32_t tokens;        // head 0; head 1 gets a fifth
    int32_t before_reset;  // tokens appended, then reset, before those
};

Blob saved(const KelvorMHABackend& b) {
    Blob blob(state_bytes(b));
    save_state(b, blob.data(), blob.size());
    return blob;
}

std::unique_ptr<KelvorMHABackend> loaded(const Blob& blob) { return load_state(blob.data(), blob.size()); }

// The load of `bad` is refused with exactly this message.
void expect_refused(const Blob& bad, const std::string& message) {
    try {
        loaded(bad);
        ADD_FAILURE() << "loaded; expected: " << message;
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()), "context state: " + message);
    }
}

void append_tokens(KelvorMHABackend& b, const KernelTable& kt, int32_t head, const Tokens& tok, int32_t from, int32_t to) {
    for (int32_t t = from; t < to; ++t) head_append(kt, *b.context()->heads[sz(head)], tok.key(sz(t)), tok.val(sz(t)), t);
}

std::unique_ptr<KelvorMHABackend> build(const Scenario& s, const KernelTable& kt, const Tokens& tok) {
    auto b = std::make_unique<KelvorMHABackend>(2, s.head_dim, s.bits, s.capacity, 77, 0.25f, -3, s.encoding);
    if (s.before_reset > 0) {
        append_tokens(*b, kt, 0, tok, 0, s.before_reset);
        b->reset();
    }
    append_tokens(*b, kt, 0, tok, 0, s.tokens);
    append_tokens(*b, kt, 1, tok, 0, s.tokens / 5);
    return b;
}

// Every head's single and batch answers, as bit patterns.
std::vector<uint32_t> answers(const KelvorMHABackend& b, const KernelTable& kt, const Tokens& queries, int32_t n) {
    const int32_t hd = b.settings().head_dim;
    std::vector<float> out(sz(n) * sz(hd)), all;
    for (const auto& head : b.context()->heads) {
        for (int32_t q = 0; q < n; ++q) head_attend(kt, *head, queries.key(sz(q)), out.data() + sz(q) * sz(hd));
        all.insert(all.end(), out.begin(), out.end());
        head_attend_batch(kt, *head, queries.keys.data(), n, out.data());
        all.insert(all.end(), out.begin(), out.end());
    }
    return bit_patterns(all);
}

TEST(ContextState, RestoredContextsAnswerAndGrowBitForBitAtEveryLevel) {
    std::vector<Scenario> scenarios;
    for (Encoding e : kEncodings) {
        for (int32_t bits : kCodeWidths) {
            scenarios.push_back({e, bits, 5, 24, 0, 0});     // empty
            scenarios.push_back({e, bits, 1, 64, 40, 0});    // exact answers, ring not full
            scenarios.push_back({e, bits, 16, 24, 100, 0});  // wrapped
            scenarios.push_back({e, bits, 33, 600, 530, 0});  // past the exact window, not wrapped
            scenarios.push_back({e, bits, 8, 30, 20, 50});   // reset after a wrap, then refilled
            scenarios.push_back({e, bits, 8, 30, 0, 50});    // reset, left empty
        }
    }
    for (const Scenario& s : scenarios) {
        SCOPED_TRACE(testing::Message() << encoding_name(s.encoding) << " bits " << s.bits << " head_dim " << s.head_dim
                                        << " capacity " << s.capacity << " tokens " << s.tokens << " after reset of "
                                        << s.before_reset);
        const Tokens tok = random_tokens(s.head_dim, sz(std::max(s.tokens, s.before_reset) + 40), 5, 0.3f);
        const Tokens queries = random_tokens(s.head_dim, 3, 6);
        Blob first;
        for (const KernelTable* kt : available_tables()) {
            SCOPED_TRACE(kt->name);
            auto original = build(s, *kt, tok);
            const Blob blob = saved(*original);
            // The state does not depend on the level that built it.
            if (first.empty()) first = blob;
            EXPECT_EQ(blob, first);
            auto restored = loaded(blob);
            EXPECT_EQ(saved(*restored), blob);
            EXPECT_EQ(restored->kv_bytes(), original->kv_bytes());
            for (const KernelTable* other : available_tables()) {
                EXPECT_EQ(answers(*restored, *other, queries, 3), answers(*original, *other, queries, 3)) << other->name;
            }
            for (int32_t h : {0, 1}) {
                const int32_t from = h == 0 ? s.tokens : s.tokens / 5;
                append_tokens(*original, *kt, h, tok, from, from + 40);
                append_tokens(*restored, *kt, h, tok, from, from + 40);
            }
            EXPECT_EQ(answers(*restored, *kt, queries, 3), answers(*original, *kt, queries, 3));
            EXPECT_EQ(saved(*restored), saved(*original));
        }
    }
}

// The format's checksum is XXH3-64 with seed 0 (digests from the xxHash
// library itself); fed in any pieces it gives the digest of the whole.
TEST(ContextState, ChecksumIsXxh3OfTheWholeInAnyPieces) {
    EXPECT_EQ(checksum_of("", 0), 0x2d06800538d394c2ULL);
    EXPECT_EQ(checksum_of("kelvor", 6), 0x5ef68a5fa32e19ffULL);
    std::mt19937 rng(3);
    Blob data(300000);
    for (uint8_t& b : data) b = uint8_t(rng());
    Checksum pieces;
    for (size_t at = 0, step = 1; at < data.size(); at += step, step = step * 3 + 1) {
        pieces.update(data.data() + at, std::min(step, data.size() - at));
    }
    EXPECT_EQ(pieces.digest(), checksum_of(data.data(), data.size()));
}

// ---- damage ---------------------------------------------------------------------

template <class T>
void set_field(Blob& b, size_t offset, T value) {
    std::memcpy(b.data() + offset, &value, sizeof value);
}

// Declared size and checksum made to fit the contents again, so that the checks
// behind them are reached.
void reseal(Blob& b) {
    if (b.size() < kStateHeaderBytesV2 + kStateChecksumBytes) return;
    set_field<uint64_t>(b, 56, b.size());
    set_field<uint64_t>(b, b.size() - 8, checksum_of(b.data(), b.size() - 8));
}

// Each damage, done to a copy of `good` that is then resealed, is refused with its message.
struct Damage {
    std::function<void(Blob&)> damage;
    const char* message;
};
void expect_damages_refused(const Blob& good, std::initializer_list<Damage> damages) {
    for (const Damage& d : damages) {
        Blob bad = good;
        d.damage(bad);
        reseal(bad);
        expect_refused(bad, d.message);
    }
}

size_t record_at(int32_t head) { return kStateHeaderBytesV2 + kHeadRecordBytes * sz(head); }

TEST(ContextState, RefusesEachKindOfDamageNamingIt) {
    // Head 0 has wrapped (24 slots, 100 tokens); head 1 holds 20.
    const Scenario s{Encoding::fitted, 3, 5, 24, 100, 0};
    const Tokens tok = random_tokens(5, 100, 9);
    const Blob good = saved(*build(s, scalar_kernels(), tok));
    const std::string n = std::to_string(good.size());
    const std::string arrays = std::to_string(good.size() - 8 - 80 - 2 * 32);
    struct Case {
        std::function<void(Blob&)> damage;
        bool resealed;
        std::string message;
    };
    const Case cases[] = {
        {[](Blob& b) { b.resize(40); }, false, "it is 40 bytes, shorter than a header and checksum (72)"},
        {[](Blob& b) { b.pop_back(); }, false,
         "it is truncated: " + std::to_string(good.size() - 1) + " bytes of the " + n + " it declares"},
        {[](Blob& b) { b.push_back(0); }, false,
         "it has " + std::to_string(good.size() + 1) + " bytes, more than the " + n + " it declares"},
        {[](Blob& b) { b[3] = 'v'; }, false, "it does not start with KELVORCX: not a saved context"},
        {[](Blob& b) { set_field<uint32_t>(b, 8, kStateVersion + 1); }, false,
         "format version " + std::to_string(kStateVersion + 1) + " is newer than this kelvor_py reads (up to " +
             std::to_string(kStateVersion) + "); load it with the release that saved it or a later one"},
        {[](Blob& b) { set_field<uint32_t>(b, 76, 1); }, true, "its reserved header field is 1, not 0"},
        {[](Blob& b) { set_field<uint32_t>(b, 8, 3), set_field<uint32_t>(b, 76, 2); }, true,
         "its full-precision copies are of kind 2, but version 3 holds float16 ones (1)"},
        {[](Blob& b) { set_field<uint32_t>(b, 8, 3); }, true,
         "its full-precision copies are of kind 0, but version 3 holds float16 ones (1)"},
        // Version 4 headers are 8 bytes longer.
        {[](Blob& b) { set_field<uint32_t>(b, 8, 4), b.insert(b.begin() + 80, 8, 0); }, true,
         "its scales are of kind 0 and its positions are of kind 0, but version 4 holds bfloat16 scales (1) or no "
         "positions (1)"},
        {[](Blob& b) { set_field<uint32_t>(b, 8, 4), set_field<uint32_t>(b, 52, 1), b.insert(b.begin() + 80, 8, 0), b[84] = 1; },
         true, "its reserved header field is 1, not 0"},
        {[](Blob& b) { set_field<uint32_t>(b, 52, 1); }, true, "its reserved header field is 1, not 0"},
        {[](Blob& b) { set_field<uint32_t>(b, 8, 5), b.insert(b.begin() + 80, 8, 0); }, true,
         "its key group is 0, but version 5 holds key groups (above 0)"},
        {[](Blob& b) { b[b.size() / 2] ^= 0x10; }, false, "its checksum does not match its contents: it was corrupted"},
        {[](Blob& b) { set_field<uint32_t>(b, 12, 2); }, true, "encoding 2 is unknown"},
        {[](Blob& b) { set_field<int32_t>(b, 28, 0); }, true, "capacity must be between 1 and 1048576, got 0"},
        {[](Blob& b) { set_field<int32_t>(b, 48, 0); }, true, "threads must be at least 1, got 0"},
        {[](Blob& b) { set_field<int32_t>(b, 16, 0x7fffffff); }, true,
         "its " + n + " bytes cannot hold the records of 2147483647 heads"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(1), 25); }, true, "head 1 holds 25 tokens in a ring of 24"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(1) + 4, 3); }, true,
         "head 1 writes slot 3 next, but a ring holding 20 of 24 tokens writes slot 20"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(0) + 4, 24); }, true,
         "head 0 writes slot 24 next, outside its ring of 24"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(0) + 4, 3); }, true,
         "head 0 counts 100 appends, which do not leave a ring of 24 that has replaced tokens writing slot 3 next"},
        {[](Blob& b) { set_field<uint64_t>(b, record_at(1) + 16, 21); }, true,
         "head 1 counts 21 appends, but a ring holding 20 that has replaced none has had 20"},
        {[](Blob& b) { b[record_at(0) + 14] = 0; }, true,
         "head 0 keeps its full-precision window, but a head holding 24 tokens no longer answers from it"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(1) + 24, 1); }, true,
         "head 1 keeps 1 recent tokens, but a head keeping 0 after 20 appends keeps 0"},
        {[](Blob& b) { set_field<int32_t>(b, 64, 5); }, true, "value_bits must be 2, 3 or 4, got 5"},
        {[](Blob& b) { set_field<int32_t>(b, 72, 513); }, true, "sinks must be between 0 and 512, got 513"},
        {[](Blob& b) { b[record_at(1) + 12] = 1; }, true, "head 1 has replaced tokens but holds 20, fewer than its capacity 24"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(1) + 8, 19); }, true,
         "head 1 keeps 19 tokens at full precision, but a head with 0 sinks after 20 appends keeps 20"},
        {[](Blob& b) { set_field<int32_t>(b, record_at(0) + 8, 513); }, true,
         "head 0 keeps 513 tokens at full precision, but a head with 0 sinks after 100 appends keeps 0"},
        {[](Blob& b) { b[record_at(0) + 13] = 0; }, true,
         "head 0 lacks fitted statistics, but a fitted head holding 24 tokens has them"},
        // head_dim 6 keeps P = 8, so only the window and statistics change size.
        {[](Blob& b) { set_field<int32_t>(b, 20, 6); }, true,
         "its heads' arrays take " + std::to_string(std::stoull(arrays) + 2 * 20 * 4 + 3 * 4) +
             " bytes by their records, but it has " + arrays + " bytes for them"},
    };
    for (const Case& c : cases) {
        Blob bad = good;
        c.damage(bad);
        if (c.resealed) reseal(bad);
        expect_refused(bad, c.message);
    }
    EXPECT_EQ(saved(*loaded(good)), good);
}

// ---- fuzz -----------------------------------------------------------------------

// One random change of the kinds damage takes: flipped bytes, a cut, bytes
// added, two states spliced, a header or head-record field set to an extreme.
Blob mutate(const Blob& a, const Blob& b, std::mt19937_64& rng) {
    auto below = [&](uint64_t n) { return n == 0 ? 0 : rng() % n; };
    static const uint64_t extremes[] = {0,          1,          2,          3,          23,         24,
                                        25,         511,        512,        513,        1u << 20,   0x7fffffff,
                                        0x80000000, 0xffffffff, ~0ull >> 1, ~0ull,      0x7f800000, 0xffc00000};
    Blob m = a;
    switch (rng() % 6) {
        case 0:
            for (uint64_t i = 0, flips = 1 + below(4); i < flips; ++i) m[below(m.size())] ^= uint8_t(1 + below(255));
            break;
        case 1: m.resize(below(m.size())); break;
        case 2:
            for (uint64_t i = 0, extra = 1 + below(64); i < extra; ++i) m.push_back(uint8_t(rng()));
            break;
        case 3: {
            const uint64_t cut = below(a.size()), from = below(b.size());
            m.assign(a.begin(), a.begin() + long(cut));
            m.insert(m.end(), b.begin() + long(from), b.end());
            break;
        }
        case 4: {  // a header field, of its width
            static const std::pair<size_t, size_t> fields[] = {{8, 4},  {12, 4}, {16, 4}, {20, 4}, {24, 4}, {28, 4},
                                                               {32, 8}, {40, 4}, {44, 4}, {48, 4}, {52, 4}, {56, 8},
                                                               {64, 4}, {68, 4}, {72, 4}, {76, 4}};
            const auto [offset, width] = fields[below(std::size(fields))];
            const uint64_t v = extremes[below(std::size(extremes))];
            std::memcpy(m.data() + offset, &v, width);
            break;
        }
        default: {  // a field of a head record
            int32_t n_heads;
            std::memcpy(&n_heads, m.data() + 16, 4);
            static const std::pair<size_t, size_t> fields[] = {{0, 4}, {4, 4}, {8, 4}, {12, 1}, {13, 1}, {14, 1},
                                                               {15, 1}, {16, 8}, {24, 4}, {28, 4}};
            const auto [offset, width] = fields[below(std::size(fields))];
            const uint64_t v = extremes[below(std::size(extremes))];
            std::memcpy(m.data() + record_at(int32_t(below(uint64_t(n_heads)))) + offset, &v, width);
        }
    }
    return m;
}

// Every call on every head of a loaded context, which the sanitizer build
// watches for reads and writes out of bounds.
void exercise(KelvorMHABackend& b) {
    const int32_t hd = b.settings().head_dim;
    const Tokens tok = random_tokens(hd, 3, 1);
    std::vector<float> out(3 * sz(hd));
    for (int32_t h = 0; h < b.n_heads(); ++h) {
        b.compute(h, tok.key(0), out.data());
        b.compute_batch(h, tok.keys.data(), 3, out.data());
        b.append(h, tok.key(1), tok.val(1), 7);
        b.append(h, tok.key(2), tok.val(2), 8);
        b.compute_batch(h, tok.keys.data(), 3, out.data());
    }
    const uint64_t kv = b.kv_bytes();
    const Blob again = saved(b);
    ASSERT_EQ(saved(*loaded(again)), again);
    b.reset();
    EXPECT_EQ(b.kv_bytes(), 0u);
    EXPECT_GT(kv, 0u);
}

TEST(ContextStateFuzz, MutatedStatesAreRefusedOrRestoredExactly) {
    std::vector<Blob> seeds;
    // Wrapped with a part-filled window, wrapped with a full one, not yet wrapped, reset.
    for (const Scenario& s : {Scenario{Encoding::clip3, 2, 5, 24, 100, 0}, Scenario{Encoding::fitted, 4, 2, 8, 600, 0},
                              Scenario{Encoding::fitted, 3, 2, 40, 12, 0}, Scenario{Encoding::clip3, 4, 1, 16, 0, 20}}) {
        seeds.push_back(saved(*build(s, kernels(), random_tokens(s.head_dim, 600, uint32_t(s.capacity)))));
    }
    // float16 copies of 2 sinks and 4 recent tokens, wrapped (version 3).
    ContextSettings half;
    half.n_heads = 1, half.head_dim = 3, half.bits = 2, half.capacity = 24, half.encoding = Encoding::fitted;
    half.options = HeadOptions{3, 4, 2, true};
    KelvorMHABackend with_half(half);
    append_tokens(with_half, kernels(), 0, random_tokens(3, 100, 8), 0, 100);
    seeds.push_back(saved(with_half));
    std::mt19937_64 rng(20240611);
    int refused = 0, restored = 0;
    for (int i = 0; i < 20000; ++i) {
        const Blob& a = seeds[rng() % seeds.size()];
        Blob m = mutate(a, seeds[rng() % seeds.size()], rng);
        const bool resealed = i % 2 == 1;
        if (resealed) reseal(m);
        const bool is_seed = std::find(seeds.begin(), seeds.end(), m) != seeds.end();
        std::unique_ptr<KelvorMHABackend> b;
        try {
            b = loaded(m);
        } catch (const std::invalid_argument& e) {
            ASSERT_FALSE(is_seed) << "a valid state refused: " << e.what();
            ASSERT_EQ(std::string(e.what()).rfind("context state: ", 0), 0u) << e.what();
            ++refused;
            continue;
        }
        // Without a fresh checksum nothing changed may load; what loads is what was given.
        ASSERT_TRUE(resealed || is_seed) << "mutation " << i << " loaded without a fresh checksum";
        ASSERT_EQ(saved(*b), m) << "mutation " << i;
        exercise(*b);
        ++restored;
    }
    // Both outcomes occur often, so both paths were really exercised.
    EXPECT_GT(refused, 10000);
    EXPECT_GT(restored, 1000);
}

}  // namespace
}  // namespace kelvor::test

namespace kelvor::test {
namespace {

// Byte offsets of a saved head's float arrays, from the layout in core/state/head_arrays.h.
struct FloatOffsets {
    size_t key_scales, val_scales, exact, key_mean, val_mean, key_divisor, recent;
};

std::vector<FloatOffsets> float_offsets(const KelvorMHABackend& b) {
    const auto& heads = b.context()->heads;
    const size_t hd = sz(b.settings().head_dim);
    size_t at = kStateHeaderBytesV2 + kHeadRecordBytes * heads.size();
    std::vector<FloatOffsets> offsets;
    for (const auto& head : heads) {
        const size_t n = sz(head->store.count);
        FloatOffsets o;
        o.key_scales = at + 2 * n * sz(head->store.bytes_per_vec);
        o.val_scales = o.key_scales + 4 * n;
        o.exact = o.val_scales + 8 * n;  // past the positions
        o.key_mean = o.exact + 4 * sz(exact_tokens(*head)) * 2 * hd;
        o.val_mean = o.key_mean + 4 * hd;
        o.key_divisor = o.val_mean + 4 * hd;
        o.recent = head->codec_state.ready ? o.key_divisor + 4 * hd : o.key_mean;
        at = o.recent + 4 * head->recent.size();
        offsets.push_back(o);
    }
    return offsets;
}

TEST(ContextState, RefusesNonFiniteAndImpossibleFloatsNamingThem) {
    const int32_t hd = 8;
    KelvorMHABackend b(2, hd, 3, 600, 5, 0.95f, 512, Encoding::fitted);
    const Tokens tok = random_tokens(hd, 530, 4, 0.5f);
    append_tokens(b, kernels(), 0, tok, 0, 530);  // ring and statistics (the window released)
    append_tokens(b, kernels(), 1, tok, 0, 40);   // window only
    ASSERT_TRUE(b.context()->heads[0]->codec_state.ready);
    const Blob good = saved(b);
    const std::vector<FloatOffsets> at = float_offsets(b);
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    struct Case {
        size_t offset;
        float value;
        const char* message;  // nullptr: loads
    };
    const Case cases[] = {
        {at[0].val_scales + 4 * 17, nan, "head 0 has a non-finite value scale at slot 17"},
        {at[0].key_scales, inf, "head 0 has a non-finite key scale at slot 0"},
        {at[0].key_scales + 4 * 529, -inf, "head 0 has a non-finite key scale at slot 529"},
        {at[0].val_scales + 4 * 3, -0.5f, "head 0 has a negative value scale at slot 3"},
        {at[0].key_scales + 4 * 9, 0.0f, nullptr},  // a zero vector codes as scale 0
        {at[1].exact + 4 * (2 * hd * 3 + hd + 2), nan, "head 1 has a non-finite full-precision value at token 3"},
        {at[1].exact + 4 * (2 * hd * 39), -inf, "head 1 has a non-finite full-precision key at token 39"},
        {at[0].key_mean + 4 * 2, inf, "head 0 has a non-finite fitted key mean at channel 2"},
        {at[0].val_mean + 4 * 7, nan, "head 0 has a non-finite fitted value mean at channel 7"},
        {at[0].key_divisor + 4 * 3, inf, "head 0 has a non-finite fitted key divisor at channel 3"},
        {at[0].key_divisor, 0.0f, "head 0 has a non-positive fitted key divisor at channel 0"},
        {at[0].key_divisor + 4 * 5, -2.0f, "head 0 has a non-positive fitted key divisor at channel 5"},
        {at[1].exact + 4 * (2 * hd * 3), 3e38f,
         "head 1 has a full-precision key at token 3 whose norm is above 1.8e19, which no append stores"},
        {at[0].key_mean + 4 * 2, 3.4e38f,
         "head 0 has a fitted key mean of 3.4e+38 at channel 2, beyond the 2^64 every coordinate an append accepts "
         "stays below"},
        {at[0].key_divisor + 4 * 3, 1e-30f,
         "head 0 has a fitted key divisor of 1e-30 at channel 3, outside the 2^-40 to 2^33 that fitting keeps divisors "
         "in"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message ? c.message : "zero scale");
        Blob bad = good;
        set_field<float>(bad, c.offset, c.value);
        reseal(bad);
        if (c.message == nullptr) {
            EXPECT_NO_THROW(loaded(bad));
            continue;
        }
        expect_refused(bad, c.message);
    }
    EXPECT_NO_THROW(loaded(good));
}

bool answers_finitely(const KelvorMHABackend& b, const Tokens& queries, int32_t n) {
    std::vector<float> out(queries.keys.size());
    for (int32_t h = 0; h < b.settings().n_heads; ++h) {
        kelvor_mha_compute_batch(b.context(), h, queries.keys.data(), n, out.data());
        if (!std::all_of(out.begin(), out.end(), [](float x) { return std::isfinite(x); })) return false;
    }
    return true;
}

// A value no append stores, in each float array a state keeps (window, sink,
// recent ring, scales, statistics): every such state is refused naming the
// head and the array, or loads into a context that answers finitely and,
// after appends of ordinary and of the largest storable tokens, still does
// and saves a state that loads.
TEST(ContextState, ExtremeFloatsAreRefusedOrAnswerFinitely) {
    const int32_t hd = 8;
    KelvorMHABackend b(ContextSettings{2, hd, 3, 600, 5, 0.95f, 512, Encoding::fitted, 1, HeadOptions{3, 20, 4}});
    const Tokens tok = random_tokens(hd, 530, 4, 0.5f);
    append_tokens(b, kernels(), 0, tok, 0, 530);  // coded, statistics fixed, 4 sinks and 20 recent kept
    append_tokens(b, kernels(), 1, tok, 0, 40);   // answering from its window
    const Blob good = saved(b);
    const std::vector<FloatOffsets> at = float_offsets(b);
    const size_t row = 4 * 2 * hd;
    struct Field {
        const char* name;
        int32_t head;
        size_t offset;
    };
    const Field fields[] = {
        {"key scale", 0, at[0].key_scales + 4 * 7},          {"value scale", 0, at[0].val_scales + 4 * 7},
        {"full-precision key", 0, at[0].exact + row + 4},    {"full-precision value", 1, at[1].exact + 5 * row + 4 * hd},
        {"recent key", 0, at[0].recent + 3 * row},           {"recent value", 0, at[0].recent + 3 * row + 4 * hd + 4},
        {"fitted key mean", 0, at[0].key_mean + 4 * 2},      {"fitted value mean", 0, at[0].val_mean + 4 * 5},
        {"fitted key divisor", 0, at[0].key_divisor + 4 * 2},
    };
    const float extremes[] = {3.4e38f, -3.4e38f, 1e30f, 2e19f, -1.8e19f, 6e18f, 1e-30f, 1e-45f, 0x1p-41f, 0x1p34f};
    const Tokens queries = random_tokens(hd, 3, 9);
    Tokens more = random_tokens(hd, 4, 10);
    std::fill(more.keys.begin() + 2 * hd, more.keys.begin() + 3 * hd, 6e18f);  // a norm of 1.7e19
    std::fill(more.vals.begin() + 3 * hd, more.vals.end(), -6e18f);
    int refused = 0, answered = 0;
    for (const Field& f : fields) {
        for (float value : extremes) {
            SCOPED_TRACE(std::string(f.name) + " " + std::to_string(value));
            Blob bad = good;
            set_field<float>(bad, f.offset, value);
            reseal(bad);
            std::unique_ptr<KelvorMHABackend> c;
            try {
                c = loaded(bad);
            } catch (const std::invalid_argument& e) {
                const std::string what = e.what();
                EXPECT_EQ(what.rfind("context state: head " + std::to_string(f.head) + " has ", 0), 0u) << what;
                EXPECT_NE(what.find(f.name), std::string::npos) << what;
                ++refused;
                continue;
            }
            ++answered;
            EXPECT_TRUE(answers_finitely(*c, queries, 3));
            for (int32_t h = 0; h < 2; ++h) append_tokens(*c, kernels(), h, more, 0, 4);
            EXPECT_TRUE(answers_finitely(*c, queries, 3));
            EXPECT_NO_THROW(loaded(saved(*c)));
        }
    }
    EXPECT_GT(refused, 0);
    EXPECT_GT(answered, 0);
}

}  // namespace
}  // namespace kelvor::test

namespace kelvor::test {
namespace {

// float16 copies save as they are held (version 3), and a half that is an
// infinity or a NaN is refused by name.
TEST(ContextState, Float16CopiesSaveAsHeldAndRefuseNonFiniteHalves) {
    const int32_t hd = 8;
    ContextSettings s;
    s.n_heads = 1, s.head_dim = hd, s.bits = 3, s.capacity = 600, s.seed = 5, s.encoding = Encoding::fitted;
    s.options = HeadOptions{2, 4, 2, true};
    KelvorMHABackend b(s);
    const Tokens tok = random_tokens(hd, 570, 4, 0.5f);
    append_tokens(b, kernels(), 0, tok, 0, 530);
    const Blob good = saved(b);
    EXPECT_EQ(get_field<uint32_t>(good.data(), 8), 3u);
    EXPECT_EQ(get_field<uint32_t>(good.data(), 76), 1u);
    {
        // A restored head grows as the original does.
        auto restored = loaded(good);
        EXPECT_EQ(saved(*restored), good);
        KelvorMHABackend grown(s);
        append_tokens(grown, kernels(), 0, tok, 0, 570);
        append_tokens(*restored, kernels(), 0, tok, 530, 570);
        EXPECT_EQ(saved(*restored), saved(grown));
    }
    const HeadCache& head = *b.context()->heads[0];
    const size_t exact = kStateHeaderBytesV2 + kHeadRecordBytes +
                         530 * (sz(head.store.bytes_per_vec) + sz(head.store.val_bytes_per_vec) + 12);
    const size_t recent = exact + 2 * 2 * sz(hd) * 2 + 3 * 4 * sz(hd);  // past 2 sinks and the statistics
    expect_damages_refused(good, {
        {[&](Blob& x) { set_field<uint16_t>(x, exact + 2 * (2 * sz(hd) * 1 + 3), 0x7c00); },
         "head 0 has a non-finite full-precision key at token 1"},
        {[&](Blob& x) { set_field<uint16_t>(x, recent + 2 * (2 * sz(hd) * 3 + sz(hd)), 0xfe00); },
         "head 0 has a non-finite recent value at token 3"},
    });
}

}  // namespace
}  // namespace kelvor::test

namespace kelvor::test {
namespace {

// Key groups save the newest group's waiting keys (float32) and the offsets
// begun (bfloat16) last in a head's arrays (version 5); a non-finite one is
// refused by name.
TEST(ContextState, KeyGroupsRefuseNonFiniteWaitingKeysAndOffsets) {
    const int32_t hd = 8;
    HeadOptions options;
    options.key_group = 16;
    KelvorMHABackend b(ContextSettings{1, hd, 3, 40, 5, 0.95f, 512, Encoding::clip3, 1, options});
    const Tokens tok = random_tokens(hd, 90, 4, 0.5f);
    append_tokens(b, kernels(), 0, tok, 0, 90);
    const Blob good = saved(b);
    EXPECT_EQ(get_field<uint32_t>(good.data(), 8), 5u);
    EXPECT_EQ(get_field<int32_t>(good.data(), 84), 16);
    // 90 appends leave 10 keys waiting; six groups begun fill the ring of ceil(40 / 16) + 1 = 4 offsets.
    const size_t offsets = good.size() - kStateChecksumBytes - 4 * sz(hd) * 2;
    const size_t waiting = offsets - 10 * sz(hd) * 4;
    const float nan = std::numeric_limits<float>::quiet_NaN(), inf = std::numeric_limits<float>::infinity();
    expect_damages_refused(good, {
        {[&](Blob& x) { set_field<float>(x, waiting, inf); }, "head 0 has a non-finite waiting key at entry 0"},
        {[&](Blob& x) { set_field<float>(x, waiting + 4 * (sz(hd) * 9 + 7), nan); },
         "head 0 has a non-finite waiting key at entry 9"},
        {[&](Blob& x) { set_field<uint16_t>(x, offsets + 2 * 3, 0xff80); },
         "head 0 has a non-finite key-group offset at entry 0"},
        {[&](Blob& x) { set_field<uint16_t>(x, offsets + 2 * (sz(hd) * 3 + 7), 0x7fc1); },
         "head 0 has a non-finite key-group offset at entry 3"},
    });
    EXPECT_EQ(saved(*loaded(good)), good);
}

}  // namespace
}  // namespace kelvor::test

namespace kelvor::test {
namespace {

// One-byte scales save the ranges their heads placed in the head records
// (version 7); a range outside the finite bytes, a range where none was
// placed, and the kind in a version that cannot hold it are refused.
TEST(ContextState, LogScalesSaveTheirRangesAndRefuseThemOutOfPlace) {
    const int32_t hd = 8;
    HeadOptions options;
    options.scale_kind = ScaleKind::log8;
    KelvorMHABackend b(ContextSettings{2, hd, 3, 600, 5, 0.95f, 512, Encoding::fitted, 1, options});
    const Tokens tok = random_tokens(hd, 530, 4, 0.5f);
    append_tokens(b, kernels(), 0, tok, 0, 530);  // head 0 codes; head 1 still answers exactly
    append_tokens(b, kernels(), 1, tok, 0, 20);
    const Blob good = saved(b);
    const size_t record0 = state_header_bytes(7), record1 = record0 + kHeadRecordBytes;
    EXPECT_EQ(get_field<uint32_t>(good.data(), 8), 7u);
    // The ranges come back with the state: saving the restored context writes them again.
    EXPECT_EQ(saved(*loaded(good)), good);
    expect_damages_refused(good, {
        {[](Blob& x) { set_field<uint32_t>(x, 8, 6); }, "scale_dtype 2 needs format version 7, but it is version 6"},
        {[](Blob& x) { set_field<uint32_t>(x, 52, 1); }, "its scales are of kind 1, but version 7 holds log8 scales (2)"},
        {[&](Blob& x) { set_field<int16_t>(x, record0 + 28, 120); },
         "head 0 places its key scales from octave 120, outside -126 to 119"},
        {[&](Blob& x) { set_field<int16_t>(x, record0 + 30, 112); },
         "head 0 places its value scales from octave 112, outside -126 to 111"},
        {[&](Blob& x) { set_field<int16_t>(x, record1 + 30, -1); },
         "head 1 places its value scales from octave -1, but only log8 scales of a head with statistics have a range"},
    });
}

}  // namespace
}  // namespace kelvor::test

namespace kelvor::test {
namespace {

// Dithered values are saved as version 8, whose header holds the choice at
// offset 92 and nothing else (the patterns are fixed tables); an unknown
// choice, none in version 8 and a dither on clip3 are refused.
TEST(ContextState, DitheredValuesSaveTheirChoiceAndRefuseItOutOfPlace) {
    const int32_t hd = 8;
    HeadOptions options;
    options.value_bits = 2;
    options.value_dither = true;
    KelvorMHABackend b(ContextSettings{1, hd, 4, 600, 5, 0.95f, 512, Encoding::fitted, 1, options});
    const Tokens tok = random_tokens(hd, 530, 6, 0.5f);
    append_tokens(b, kernels(), 0, tok, 0, 530);
    const Blob good = saved(b);
    EXPECT_EQ(get_field<uint32_t>(good.data(), 8), 8u);
    EXPECT_EQ(get_field<uint32_t>(good.data(), 92), 1u);
    EXPECT_EQ(saved(*loaded(good)), good);
    expect_damages_refused(good, {
        {[](Blob& x) { set_field<uint32_t>(x, 92, 0); }, "its value dither is 0, but version 8 holds dithered values (1)"},
        {[](Blob& x) { set_field<uint32_t>(x, 92, 2); }, "its value dither is 2, but version 8 holds dithered values (1)"},
        {[](Blob& x) { set_field<uint32_t>(x, 12, static_cast<uint32_t>(Encoding::clip3)); },
         "value_dither='uniform' needs encoding='fitted', got 'clip3'"},
    });
}

}  // namespace
}  // namespace kelvor::test
