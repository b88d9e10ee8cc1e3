#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/formats/codebook.h"
#include "core/formats/half_cells.h"
#include "core/formats/packing.h"
#include "core/support/limits.h"
#include "test_support.h"

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define KELVOR_TEST_GUARD_PAGES 1
#endif

namespace kelvor::test {
namespace {

// `size` bytes ending exactly where accessible memory ends: the following page
// is made inaccessible where the platform allows, otherwise the block is an
// exactly sized heap allocation (which a sanitizer build checks).
class TailGuarded {
public:
    explicit TailGuarded(size_t size) {
#ifdef KELVOR_TEST_GUARD_PAGES
        const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
        span_ = ((size + page - 1) / page + 1) * page;
        void* base = mmap(nullptr, span_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base != MAP_FAILED && mprotect(static_cast<uint8_t*>(base) + span_ - page, page, PROT_NONE) == 0) {
            base_ = static_cast<uint8_t*>(base);
            data_ = base_ + span_ - page - size;
            return;
        }
        if (base != MAP_FAILED) munmap(base, span_);
#endif
        heap_.reset(new uint8_t[size == 0 ? 1 : size]);
        data_ = heap_.get();
    }
    ~TailGuarded() {
#ifdef KELVOR_TEST_GUARD_PAGES
        if (base_ != nullptr) munmap(base_, span_);
#endif
    }
    TailGuarded(const TailGuarded&) = delete;
    TailGuarded& operator=(const TailGuarded&) = delete;

    uint8_t* bytes() { return data_; }
    float* floats() { return reinterpret_cast<float*>(data_); }

private:
    uint8_t* base_ = nullptr;
    size_t span_ = 0;
    std::unique_ptr<uint8_t[]> heap_;
    uint8_t* data_ = nullptr;
};

std::vector<uint8_t> model_pack(const std::vector<uint8_t>& codes, int bits) {
    const int32_t n = static_cast<int32_t>(codes.size());
    std::vector<uint8_t> out(static_cast<size_t>((bits * n + 7) / 8), 0);
    for (int32_t j = 0; j < n; ++j) {
        for (int b = 0; b < bits; ++b) {
            const int32_t q = bits * j + b;
            if ((codes[j] >> (bits - 1 - b)) & 1) out[q / 8] |= static_cast<uint8_t>(0x80 >> (q % 8));
        }
    }
    return out;
}

std::vector<int> model_decode(const uint8_t* stream, int32_t n, int bits) {
    std::vector<int> c(static_cast<size_t>(n));
    for (int32_t j = 0; j < n; ++j) c[j] = static_cast<int>(code_at(stream, bits, j));
    return c;
}

// One float32 partial sum per byte at 2 bits and per 8-code group otherwise.
float dot_in_kernel_order(const float* x, const std::vector<int>& codes, const float* levels, int bits) {
    const int32_t n = static_cast<int32_t>(codes.size());
    const int32_t per_sum = bits == 2 ? 4 : 8;
    float total = 0.0f;
    for (int32_t s = 0; s < n; s += per_sum) {
        float partial = 0.0f;
        for (int32_t k = s; k < s + per_sum && k < n; ++k) partial += levels[codes[k]] * x[k];
        total += partial;
    }
    return total;
}

std::vector<uint8_t> random_codes(std::mt19937& rng, int32_t n, int bits) {
    std::uniform_int_distribution<int> d(0, (1 << bits) - 1);
    std::vector<uint8_t> c(static_cast<size_t>(n));
    for (uint8_t& v : c) v = static_cast<uint8_t>(d(rng));
    return c;
}

TEST(PackCodes, KnownBytes) {
    struct Case {
        int bits;
        std::vector<uint8_t> codes;
        std::vector<uint8_t> bytes;
    };
    const Case cases[] = {
        {2, {3, 0, 2, 1}, {0xC9}},
        {3, {1, 2, 3, 4, 5, 6, 7, 0}, {0x29, 0xCB, 0xB8}},
        {4, {10, 3}, {0xA3}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bits);
        ASSERT_EQ(model_pack(c.codes, c.bits), c.bytes);  // the model agrees with the layout
        std::vector<uint8_t> out(c.bytes.size() + 4, kGuardByte);
        pack_codes(c.codes.data(), static_cast<int32_t>(c.codes.size()), c.bits, out.data());
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + c.bytes.size()), c.bytes);
        EXPECT_TRUE(guards_from(out, c.bytes.size()));
    }
}

TEST(PackCodes, SmallLengthsPackEveryCodeZeroFilled) {
    struct Case {
        int bits;
        int32_t n;
        std::vector<uint8_t> top_code_bytes;  // every code at its maximum
    };
    const Case cases[] = {
        {2, 1, {0xC0}}, {2, 2, {0xF0}}, {2, 4, {0xFF}},
        {3, 1, {0xE0}}, {3, 2, {0xFC}}, {3, 4, {0xFF, 0xF0}},
        {4, 1, {0xF0}}, {4, 2, {0xFF}}, {4, 4, {0xFF, 0xFF}},
    };
    std::mt19937 rng(5);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "bits " << c.bits << " n " << c.n);
        const size_t bytes = static_cast<size_t>(stream_bytes(c.bits, c.n));
        ASSERT_EQ(bytes, c.top_code_bytes.size());

        const std::vector<uint8_t> top(static_cast<size_t>(c.n), static_cast<uint8_t>((1 << c.bits) - 1));
        std::vector<uint8_t> out(bytes + 4, kGuardByte);
        pack_codes(top.data(), c.n, c.bits, out.data());
        EXPECT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + bytes), c.top_code_bytes);
        EXPECT_TRUE(guards_from(out, bytes));

        for (int trial = 0; trial < 20; ++trial) {
            const std::vector<uint8_t> codes = random_codes(rng, c.n, c.bits);
            std::fill(out.begin(), out.end(), kGuardByte);
            pack_codes(codes.data(), c.n, c.bits, out.data());
            ASSERT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + bytes), model_pack(codes, c.bits));
            ASSERT_TRUE(guards_from(out, bytes));
        }
    }
}

TEST(PackedKernels, DotExample) {
    const float x[4] = {1, 2, 3, 4};
    const uint8_t stream[1] = {0xC9};
    const float* lv = levels_2bit.data();
    const float got = dot_packed(x, stream, lv, 4, 2);
    EXPECT_NEAR(got, -1.9632, 1e-4);
    float partial = 0.0f;  // codes 3, 0, 2, 1 summed in coordinate order
    partial += lv[3] * x[0];
    partial += lv[0] * x[1];
    partial += lv[2] * x[2];
    partial += lv[1] * x[3];
    EXPECT_EQ(bits_of(got), bits_of(0.0f + partial));

    float acc[6] = {0, 0, 0, 0, kGuard, kGuard};
    accumulate_packed(acc, stream, lv, 4, 2);
    EXPECT_EQ(std::vector<float>(acc, acc + 6), (std::vector<float>{lv[3], lv[0], lv[2], lv[1], kGuard, kGuard}));
}

// For every width and power-of-two length the kernels read exactly the
// (bits*n+7)/8 stream bytes and n entries of x or acc: each buffer ends at the
// edge of accessible memory, and whatever follows a copy of the stream must
// not change the result.
TEST(PackedKernels, ReadExactlyTheStreamAndLength) {
    for (int bits : kCodeWidths) EXPECT_EQ(stream_bytes(bits, 8), bits);
    std::mt19937 rng(11);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    for (int bits : kCodeWidths) {
        const float* lv = levels_for_bits(bits);
        for (int32_t n = 1; n <= 1024; n *= 2) {
            SCOPED_TRACE(testing::Message() << "bits " << bits << " n " << n);
            const size_t bytes = static_cast<size_t>(stream_bytes(bits, n));
            const std::vector<uint8_t> codes = random_codes(rng, n, bits);

            TailGuarded stream(bytes);
            pack_codes(codes.data(), n, bits, stream.bytes());
            TailGuarded x(n * sizeof(float));
            for (int32_t j = 0; j < n; ++j) x.floats()[j] = gauss(rng);
            const float dot = dot_packed(x.floats(), stream.bytes(), lv, n, bits);
            TailGuarded acc(n * sizeof(float));
            for (int32_t j = 0; j < n; ++j) acc.floats()[j] = 0.0f;
            accumulate_packed(acc.floats(), stream.bytes(), lv, n, bits);
            for (int32_t j = 0; j < n; ++j) ASSERT_EQ(acc.floats()[j], lv[codes[j]]) << "coordinate " << j;

            for (uint8_t fill : {uint8_t{0x00}, uint8_t{0xFF}, uint8_t{0xA5}}) {
                std::vector<uint8_t> padded(bytes + 16, fill);
                std::memcpy(padded.data(), stream.bytes(), bytes);
                std::vector<float> xs(x.floats(), x.floats() + n);
                xs.resize(static_cast<size_t>(n) + 16, std::numeric_limits<float>::quiet_NaN());
                EXPECT_EQ(bits_of(dot_packed(xs.data(), padded.data(), lv, n, bits)), bits_of(dot)) << int(fill);
                std::vector<float> a(static_cast<size_t>(n) + 16, kGuard);
                std::fill(a.begin(), a.begin() + n, 0.0f);
                accumulate_packed(a.data(), padded.data(), lv, n, bits);
                for (int32_t j = 0; j < n; ++j) ASSERT_EQ(a[j], acc.floats()[j]) << int(fill) << " coordinate " << j;
                ASSERT_TRUE(guards_from(a, sz(n))) << int(fill) << " past n";
            }
        }
    }
}

TEST(PackedKernels, MatchIndependentDecoder) {
    std::mt19937 rng(31337);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int bits : kCodeWidths) {
        const int32_t levels_n = 1 << bits;
        std::vector<float> scaled(static_cast<size_t>(levels_n));
        const float w = 0.37f * gauss(rng);
        for (int32_t i = 0; i < levels_n; ++i) scaled[i] = levels_for_bits(bits)[i] * w;
        for (const float* lv : {levels_for_bits(bits), static_cast<const float*>(scaled.data())}) {
            for (int32_t n = 8; n <= 1024; n *= 2) {
                SCOPED_TRACE(testing::Message() << "bits " << bits << " n " << n);
                for (int trial = 0; trial < 3; ++trial) {
                    std::vector<uint8_t> stream(static_cast<size_t>(stream_bytes(bits, n)));
                    for (uint8_t& b : stream) b = static_cast<uint8_t>(byte(rng));
                    const std::vector<int> codes = model_decode(stream.data(), n, bits);
                    std::vector<float> x(static_cast<size_t>(n));
                    for (float& v : x) v = gauss(rng);

                    double exact = 0.0, magnitude = 0.0;
                    for (int32_t j = 0; j < n; ++j) {
                        exact += static_cast<double>(lv[codes[j]]) * x[j];
                        magnitude += std::fabs(static_cast<double>(lv[codes[j]]) * x[j]);
                    }
                    const float got = dot_packed(x.data(), stream.data(), lv, n, bits);
                    // Longest chain of float additions: the running total plus one partial sum.
                    EXPECT_NEAR(got, exact, (n / 4 + 10) * kUnitRoundoff * magnitude);
                    EXPECT_EQ(bits_of(got), bits_of(dot_in_kernel_order(x.data(), codes, lv, bits)));

                    std::vector<float> acc(static_cast<size_t>(n));
                    for (float& v : acc) v = gauss(rng);
                    std::vector<float> want = acc;
                    for (int32_t j = 0; j < n; ++j) want[j] = lv[codes[j]] + want[j];
                    accumulate_packed(acc.data(), stream.data(), lv, n, bits);
                    for (int32_t j = 0; j < n; ++j) ASSERT_EQ(bits_of(acc[j]), bits_of(want[j])) << "coordinate " << j;
                }
            }
        }
    }
}

// Codes are packed and read back through level tables that reveal them: the
// identity table levels[i] = i, and for each code c the indicator of c.
TEST(PackedRoundTrip, EveryCodeComesBackAtEveryLength) {
    std::mt19937 rng(8);
    constexpr int kSlack = 8;
    for (int bits : kCodeWidths) {
        const int32_t levels_n = 1 << bits;
        std::vector<float> identity(static_cast<size_t>(levels_n));
        for (int32_t i = 0; i < levels_n; ++i) identity[i] = static_cast<float>(i);
        for (int32_t n = 1; n <= 1024; ++n) {
            const size_t bytes = static_cast<size_t>((bits * n + 7) / 8);
            const std::vector<uint8_t> codes = random_codes(rng, n, bits);
            std::vector<uint8_t> stream(bytes + kSlack);
            for (uint8_t& b : stream) b = static_cast<uint8_t>(rng());
            const std::vector<uint8_t> before = stream;
            pack_codes(codes.data(), n, bits, stream.data());
            ASSERT_EQ(std::vector<uint8_t>(stream.begin(), stream.begin() + bytes), model_pack(codes, bits))
                << "bits " << bits << " n " << n;
            ASSERT_TRUE(std::equal(stream.begin() + bytes, stream.end(), before.begin() + bytes))
                << "pack_codes wrote past the stream, bits " << bits << " n " << n;

            std::vector<float> acc(static_cast<size_t>(n) + kSlack, kGuard);
            std::vector<float> ones(static_cast<size_t>(n) + kSlack, std::numeric_limits<float>::quiet_NaN());
            std::fill(ones.begin(), ones.begin() + n, 1.0f);
            for (int32_t c = -1; c < levels_n; ++c) {
                std::vector<float> table = identity;
                if (c >= 0) {
                    std::fill(table.begin(), table.end(), 0.0f);
                    table[c] = 1.0f;
                }
                std::fill(acc.begin(), acc.begin() + n, 0.0f);
                accumulate_packed(acc.data(), stream.data(), table.data(), n, bits);
                int32_t expected_sum = 0;
                for (int32_t j = 0; j < n; ++j) {
                    const float want = c < 0 ? codes[j] : (codes[j] == c ? 1.0f : 0.0f);
                    expected_sum += static_cast<int32_t>(want);
                    ASSERT_EQ(acc[j], want) << "bits " << bits << " n " << n << " table " << c << " coordinate " << j;
                }
                ASSERT_TRUE(guards_from(acc, sz(n))) << "bits " << bits << " n " << n << " wrote past acc";
                // Integer sums below 2^24 are exact in any order; NaN past n must stay unread.
                ASSERT_EQ(dot_packed(ones.data(), stream.data(), table.data(), n, bits),
                          static_cast<float>(expected_sum))
                    << "bits " << bits << " n " << n << " table " << c;
            }
        }
    }
}

// A code c of width bits and its half-cell bit b read as code 2c + b: every
// level's widened stream is that code's packed 4-bit stream, byte for byte, at
// every length a head has (partial blocks and groups included), and nothing
// past it is written.
TEST(HalfCells, WidenedStreamIsTheFourBitPackAtEveryLevel) {
    std::mt19937 rng(11);
    for (int bits : {2, 3}) {
        for (int32_t P = 1; P <= kMaxPaddedDim; P *= 2) {
            const std::vector<uint8_t> codes = random_codes(rng, P, bits);
            const std::vector<uint8_t> halves = random_codes(rng, P, 1);
            std::vector<uint8_t> wide_codes(static_cast<size_t>(P));
            std::vector<uint8_t> half(static_cast<size_t>(half_bits_bytes(P)), 0);
            for (int32_t i = 0; i < P; ++i) {
                const int b = halves[i];
                wide_codes[i] = static_cast<uint8_t>(2 * codes[i] + b);
                half[i / 8] |= static_cast<uint8_t>(b << (7 - i % 8));
            }
            std::vector<uint8_t> stream(static_cast<size_t>(stream_bytes(bits, P)));
            pack_codes(codes.data(), P, bits, stream.data());
            const std::vector<uint8_t> expected = model_pack(wide_codes, 4);
            for (const KernelTable* kt : available_tables()) {
                std::vector<uint8_t> out(expected.size() + 8, 0xA5);
                kt->interleave_half_bits(stream.data(), half.data(), P, bits, out.data());
                ASSERT_EQ(std::vector<uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(expected.size())),
                          expected)
                    << kt->name << " bits " << bits << " P " << P;
                ASSERT_TRUE(std::all_of(out.begin() + static_cast<std::ptrdiff_t>(expected.size()), out.end(),
                                        [](uint8_t x) { return x == 0xA5; }))
                    << kt->name << " bits " << bits << " P " << P;
            }
        }
    }
}

}  // namespace
}  // namespace kelvor::test

namespace kelvor::test {
namespace {

// A width outside the list stops the process by name, at every entry that
// turns a runtime width into a layout; it is never read as another width.
TEST(CodeWidthsDeathTest, AnUnknownWidthTraps) {
    uint8_t codes[8] = {}, out[8] = {};
    float x[8] = {}, acc[8] = {};
    for (int32_t bits : {0, 1, 5, 8}) {
        if (is_code_width(bits)) continue;  // one the list has since gained
        const std::string named = "code width " + std::to_string(bits) + " is not";
        EXPECT_DEATH(pack_codes(codes, 8, bits, out), named);
        EXPECT_DEATH(dot_packed(x, out, levels_2bit.data(), 8, bits), named);
        EXPECT_DEATH(accumulate_packed(acc, out, levels_2bit.data(), 8, bits), named);
        EXPECT_DEATH(default_codebook(bits), named);
        for (const KernelTable* kt : available_tables()) {
            const PackedTokens tokens{out, x, 1, 8, 8, bits, levels_2bit.data()};
            float* rows[1] = {acc};
            float* vectors[1] = {x};
            EXPECT_DEATH(kt->score_keys(tokens, 1.0f, QueryBlock{1, vectors, rows}), named) << kt->name;
            EXPECT_DEATH(kt->accumulate_values(tokens, 1.0f, QueryBlock{1, vectors, rows}), named) << kt->name;
        }
    }
}

}  // namespace
}  // namespace kelvor::test
