// SIMD levels against the scalar table (scalar_kernels()), at every level the
// machine runs (kernels_for(level) non-null):
//  - rht_forward, rht_inverse, quantize_clamped, the encoder (codes, packed
//    streams, scales) and head_append are bit-identical: they are
//    elementwise, in the same order;
//  - score_keys, accumulate_values, softmax, exact_attend and whole head
//    answers agree within 1e-5 of the largest magnitude of the scalar answer:
//    the kernels reorder dot-product and softmax sums and fuse the value
//    multiply-adds, and float32 rounding of such sums of up to a few thousand
//    terms stays orders of magnitude below that;
//  - at one level the same inputs give the same bits, a row of a batch equals
//    the single-query answer bit for bit, and nothing is written past P floats
//    of a vector, past the tokens of a score row or past head_dim outputs;
//  - every variant of a level (the AVX-512 level's two 3-bit decoders) is
//    tested as a level of its own, and its variants give the same bits.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <iomanip>
#include <iterator>
#include <limits>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/encoder.h"
#include "core/formats/codebook.h"
#include "core/formats/packing.h"
#include "core/formats/rotation.h"
#include "core/heads/head_cache.h"
#include "core/kernels/kernels.h"
#include "core/support/limits.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

// Guard floats/bytes past every area; also the read slack of packed streams
// (the decoders load up to 8 bytes from a chunk start).
constexpr size_t kSlack = 64;
constexpr double kRel = 1e-5;

const int32_t kPaddedDims[] = {1, 2, 4, 8, 16, 32, 64, 128, 256, 512, 1024};
const int32_t kHeadDims[] = {1, 5, 8, 64, 100, 128, 1024};

// n elements at `offset` elements into a buffer, guard values on both sides. An
// odd offset leaves the area unaligned for every vector width.
template <class T>
class Guarded {
public:
    static constexpr T guard() {
        if constexpr (std::is_same_v<T, float>) return kGuard;
        else return kGuardByte;
    }
    explicit Guarded(size_t n, size_t offset = 1) : n_(n), off_(offset), buf_(offset + n + kSlack, guard()) {}
    Guarded(const std::vector<T>& v, size_t offset) : Guarded(v.size(), offset) {
        std::copy(v.begin(), v.end(), data());
    }
    T* data() { return buf_.data() + off_; }
    const T* data() const { return buf_.data() + off_; }
    T& operator[](size_t i) { return data()[i]; }
    size_t size() const { return n_; }
    std::vector<T> values() const { return std::vector<T>(data(), data() + n_); }
    testing::AssertionResult guards_intact() const {
        for (size_t i = 0; i < buf_.size(); ++i) {
            if (i >= off_ && i < off_ + n_) continue;
            if (buf_[i] != guard()) {
                return testing::AssertionFailure() << "guard " << static_cast<long>(i) - static_cast<long>(off_)
                                                   << " relative to an area of " << n_ << " elements was written";
            }
        }
        return testing::AssertionSuccess();
    }

private:
    size_t n_, off_;
    std::vector<T> buf_;
};

using Floats = Guarded<float>;
using Bytes = Guarded<uint8_t>;

testing::AssertionResult bits_equal(const float* got, const float* want, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (std::memcmp(got + i, want + i, sizeof(float)) != 0) {
            return testing::AssertionFailure() << "element " << i << " of " << n << ": " << std::setprecision(9)
                                               << got[i] << " vs reference " << want[i];
        }
    }
    return testing::AssertionSuccess();
}

testing::AssertionResult bytes_equal(const uint8_t* got, const uint8_t* want, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        if (got[i] != want[i]) {
            return testing::AssertionFailure() << "byte " << i << " of " << n << ": " << int(got[i])
                                               << " vs reference " << int(want[i]);
        }
    }
    return testing::AssertionSuccess();
}

// Every element within rel * (largest magnitude of the reference); an all-zero
// reference must be matched exactly.
testing::AssertionResult close_to_reference(const float* got, const float* want, size_t n, double rel = kRel) {
    double mag = 0.0;
    for (size_t i = 0; i < n; ++i) mag = std::max(mag, std::fabs(double(want[i])));
    if (!std::isfinite(mag)) return testing::AssertionFailure() << "the reference is not finite";
    const double tol = rel * mag;
    for (size_t i = 0; i < n; ++i) {
        const double err = std::fabs(double(got[i]) - double(want[i]));
        if (!(err <= tol)) {
            return testing::AssertionFailure() << "element " << i << " of " << n << ": " << std::setprecision(9)
                                               << got[i] << " vs reference " << want[i] << " (error " << err
                                               << ", allowed " << tol << ")";
        }
    }
    return testing::AssertionSuccess();
}

// ---- levels -------------------------------------------------------------------

std::string table_name(const testing::TestParamInfo<const KernelTable*>& info) {
    const KernelTable& t = *info.param;
    return t.variant[0] == '\0' ? std::string(t.name) : std::string(t.name) + "_" + t.variant;
}

class SimdLevelPresence : public testing::TestWithParam<SimdLevel> {};

// The equivalence suites below only instantiate levels that exist; this makes
// a missing level visible as a skip instead of silence.
TEST_P(SimdLevelPresence, LevelRunsOnThisMachine) {
    const SimdLevel level = GetParam();
    const KernelTable* kt = kernels_for(level);
    if (kt == nullptr) {
        GTEST_SKIP() << simd_level_name(level)
                     << " kernels are not compiled in or this CPU/OS does not run them: its equivalence with "
                        "the scalar table (of every decoder variant) is NOT tested here";
    }
    EXPECT_EQ(kt->level, level);
    EXPECT_STREQ(kt->name, simd_level_name(level));
    EXPECT_NE(kt, &scalar_kernels());
    const std::vector<const KernelTable*> variants = level_variants(level);
    ASSERT_FALSE(variants.empty());
    EXPECT_EQ(variants[0], kt) << "the level's first variant is the one it uses";
    for (size_t i = 0; i < variants.size(); ++i) {
        EXPECT_EQ(variants[i]->level, level);
        EXPECT_STREQ(variants[i]->name, kt->name);
        for (size_t j = 0; j < i; ++j) EXPECT_STRNE(variants[i]->variant, variants[j]->variant);
    }
    if (level == SimdLevel::avx512) {
        EXPECT_EQ(variants.size(), 2u) << "the shuffle and the rewrite 3-bit decoders";
    }
}

std::vector<SimdLevel> simd_levels_but_scalar() {
    std::vector<SimdLevel> levels = simd_levels();
    levels.erase(std::remove(levels.begin(), levels.end(), SimdLevel::scalar), levels.end());
    return levels;
}

INSTANTIATE_TEST_SUITE_P(Levels, SimdLevelPresence, testing::ValuesIn(simd_levels_but_scalar()),
                         [](const testing::TestParamInfo<SimdLevel>& info) {
                             return std::string(simd_level_name(info.param));
                         });

// SIMD levels compared with the scalar table.
class SimdEquivalence : public testing::TestWithParam<const KernelTable*> {
protected:
    const KernelTable& kt() const { return *GetParam(); }
    const KernelTable& ref() const { return scalar_kernels(); }
};

// Properties every level has on its own, scalar included.
class KernelLevel : public testing::TestWithParam<const KernelTable*> {
protected:
    const KernelTable& kt() const { return *GetParam(); }
};

// ---- packed token runs --------------------------------------------------------

// `tokens` consecutive streams of random codes starting at an odd byte offset,
// followed by slack that the decoders may read but must ignore.
struct CodeRun {
    int32_t bits, P, B, tokens;
    std::vector<uint8_t> codes;  // tokens * P, one code per byte
    std::vector<uint8_t> bytes;
    std::vector<float> scales;   // one leading pad, so scales start unaligned too

    CodeRun(int32_t bits_, int32_t P_, int32_t tokens_, uint32_t seed)
        : bits(bits_), P(P_), B(stream_bytes(bits_, P_)), tokens(tokens_) {
        std::mt19937 rng(seed);
        std::uniform_int_distribution<int> code(0, (1 << bits) - 1);
        std::uniform_real_distribution<float> scale(0.5f, 4.0f);
        codes.resize(sz(tokens) * sz(P));
        for (uint8_t& c : codes) c = static_cast<uint8_t>(code(rng));
        bytes.assign(1 + sz(tokens) * sz(B) + kSlack, kGuardByte);
        for (int32_t t = 0; t < tokens; ++t) {
            pack_codes(codes.data() + sz(t) * sz(P), P, bits, bytes.data() + 1 + sz(t) * sz(B));
        }
        scales.resize(1 + sz(tokens));
        for (float& s : scales) s = scale(rng);
    }
    PackedTokens view() const { return PackedTokens{bytes.data() + 1, scales.data() + 1, tokens, B, P, bits, levels_for_bits(bits)}; }
    uint8_t code(int32_t t, int32_t j) const { return codes[sz(t) * sz(P) + sz(j)]; }
};

// A block of nq query vectors of P floats and nq rows of `tokens` floats, each
// in its own guarded buffer at a different odd offset.
struct Block {
    std::vector<Floats> vectors, rows;
    std::vector<float*> vector_ptrs, row_ptrs;

    Block(int32_t nq, int32_t P, int32_t tokens) {
        for (int32_t q = 0; q < nq; ++q) {
            vectors.emplace_back(sz(P), sz(2 * q + 1));
            rows.emplace_back(sz(tokens), sz(2 * q + 3));
        }
        for (int32_t q = 0; q < nq; ++q) {
            vector_ptrs.push_back(vectors[sz(q)].data());
            row_ptrs.push_back(rows[sz(q)].data());
        }
    }
    QueryBlock view() { return QueryBlock{static_cast<int32_t>(vectors.size()), vector_ptrs.data(), row_ptrs.data()}; }
};

// ---- head helpers -------------------------------------------------------------

// Values N(0.3, 1) from a stream of their own.
Tokens level_tokens(int32_t hd, int32_t n, uint32_t seed) { return random_tokens(hd, sz(n), seed, 0.3f, seed + 7919u); }

testing::AssertionResult same_store(const CodeStore& got, const CodeStore& want) {
    if (got.count != want.count || got.write_slot != want.write_slot || got.wrapped != want.wrapped ||
        got.bytes_per_vec != want.bytes_per_vec || got.key_codes.size() != want.key_codes.size() ||
        got.key_scales.size() != want.key_scales.size()) {
        return testing::AssertionFailure() << "ring state differs";
    }
    const size_t n = got.key_codes.size();
    if (auto r = bytes_equal(got.key_codes.data(), want.key_codes.data(), n); !r) return r << " (key codes)";
    if (auto r = bytes_equal(got.val_codes.data(), want.val_codes.data(), n); !r) return r << " (value codes)";
    const size_t cap = got.key_scales.size();  // the slots the ring has grown to
    if (auto r = bits_equal(got.key_scales.data(), want.key_scales.data(), cap); !r) return r << " (key scales)";
    if (auto r = bits_equal(got.val_scales.data(), want.val_scales.data(), cap); !r) return r << " (value scales)";
    return testing::AssertionSuccess();
}

// ---- rotations, quantiser, encoder: bit-identical -------------------------------

TEST_P(SimdEquivalence, RotationsAreBitIdentical) {
    for (int32_t P : kPaddedDims) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(testing::Message() << "P " << P << " seed " << seed);
            const std::vector<int8_t> signs = signs_for(seed * 1000003u, P);
            // Mixed magnitudes so that rounding differs from coordinate to coordinate.
            std::vector<float> x = random_vector(sz(P), seed, 1.0f);
            for (int32_t i = 0; i < P; i += 3) x[sz(i)] *= 1e3f;
            for (auto fn : {&KernelTable::rht_forward, &KernelTable::rht_inverse}) {
                Floats want(x, 0), got(x, 1 + 2 * seed);
                (ref().*fn)(want.data(), signs.data(), P);
                (kt().*fn)(got.data(), signs.data(), P);
                EXPECT_TRUE(bits_equal(got.data(), want.data(), sz(P)))
                    << (fn == &KernelTable::rht_forward ? "rht_forward" : "rht_inverse");
                EXPECT_TRUE(got.guards_intact());
            }
        }
    }
}

TEST_P(SimdEquivalence, ClampedQuantiserIsBitIdentical) {
    const float inf = std::numeric_limits<float>::infinity();
    for (int32_t bits : kCodeWidths) {
        // With sp 1, a huge clip and inv 1, y is x itself: every threshold, its
        // neighbours, the levels, signed zeros, infinities and NaN.
        std::vector<float> special = {0.0f, -0.0f, 1.0f, -1.0f, inf, -inf, std::nanf(""), FLT_MAX, -FLT_MAX};
        const float* t = thresholds_listed(bits).data();
        const float* lv = levels_for_bits(bits);
        for (int i = 0; i + 1 < (1 << bits); ++i) {
            special.push_back(t[i]);
            special.push_back(std::nextafter(t[i], inf));
            special.push_back(std::nextafter(t[i], -inf));
        }
        for (int i = 0; i < (1 << bits); ++i) special.push_back(lv[i] / 3.0f);
        for (int32_t P : kPaddedDims) {
            SCOPED_TRACE(testing::Message() << "bits " << bits << " P " << P);
            struct Params {
                float sp, clip, inv;
            };
            const float sp = std::sqrt(float(P));
            const Params params[] = {{1.0f, FLT_MAX, 1.0f}, {sp, 3.0f, 1.0f / (3.0f + 1e-12f)}, {sp, 0.5f, 2.0f}};
            for (const Params& p : params) {
                std::vector<float> x = random_vector(sz(P), uint32_t(P * 7 + bits), 1.0f / sp);
                if (p.clip == FLT_MAX) {
                    for (size_t i = 0; i < x.size(); ++i) x[i] = special[(i * 5 + sz(P)) % special.size()];
                }
                const Floats in(x, 3);
                Bytes want(sz(P), 0), got(sz(P), 3);
                ref().quantize_clamped(in.data(), P, p.sp, p.clip, p.inv, default_codebook(bits), want.data());
                kt().quantize_clamped(in.data(), P, p.sp, p.clip, p.inv, default_codebook(bits), got.data());
                EXPECT_TRUE(bytes_equal(got.data(), want.data(), sz(P))) << "clip " << p.clip;
                EXPECT_TRUE(got.guards_intact());
            }
        }
    }
    // The special values must reach every code, or the sweep proves little.
    for (int32_t bits : kCodeWidths) {
        const float* t = thresholds_listed(bits).data();
        Floats in(sz(1) << bits, 1);
        in[0] = -1e9f;
        for (int i = 0; i + 1 < (1 << bits); ++i) in[sz(i) + 1] = t[i];
        Bytes got(sz(1) << bits, 1);
        kt().quantize_clamped(in.data(), 1 << bits, 1.0f, FLT_MAX, 1.0f, default_codebook(bits), got.data());
        for (int c = 0; c < (1 << bits); ++c) EXPECT_EQ(got.data()[c], c) << "bits " << bits;
    }
}

TEST_P(SimdEquivalence, EncoderCodesStreamsAndScalesAreBitIdentical) {
    const float inf = std::numeric_limits<float>::infinity();
    for (int32_t hd : kHeadDims) {
        const int32_t P = padded_dim(hd);
        for (int32_t bits : kCodeWidths) {
            SCOPED_TRACE(testing::Message() << "head_dim " << hd << " bits " << bits);
            HeadCache head = make_head(hd, bits, 4, 0x5eedULL + uint64_t(hd));
            std::vector<std::vector<float>> inputs;
            for (uint32_t s = 0; s < 4; ++s) inputs.push_back(random_vector(sz(hd), 100u * s + uint32_t(hd), 1.0f));
            inputs.push_back(std::vector<float>(sz(hd), 0.0f));
            inputs.push_back(random_vector(sz(hd), 5u, 1e-20f));
            inputs.push_back(random_vector(sz(hd), 6u, 1e15f));
            std::vector<float> unit(sz(hd), 0.0f);
            unit[sz(hd - 1)] = 1.0f;
            inputs.push_back(unit);
            std::vector<float> bad = random_vector(sz(hd), 7u);
            bad[0] = std::nanf("");
            inputs.push_back(bad);
            bad[0] = -inf;
            inputs.push_back(bad);
            for (size_t v = 0; v < inputs.size(); ++v) {
                const Floats x(inputs[v], 1 + 2 * (v % 3));
                Bytes want(sz(P), 0), got(sz(P), 1);
                const float want_scale =
                    encode_vector(ref(), x.data(), hd, P, head.rotation.signs.data(), bits, want.data());
                const float got_scale =
                    encode_vector(kt(), x.data(), hd, P, head.rotation.signs.data(), bits, got.data());
                EXPECT_TRUE(bytes_equal(got.data(), want.data(), sz(P))) << "input " << v;
                EXPECT_TRUE(bits_equal(&got_scale, &want_scale, 1)) << "input " << v;
                EXPECT_TRUE(got.guards_intact());

                const size_t B = sz(head.store.bytes_per_vec);
                Bytes want_stream(B, 0), got_stream(B, 3);
                const float ws = encode_and_pack(ref(), head, x.data(), bits, want_stream.data());
                const float gs = encode_and_pack(kt(), head, x.data(), bits, got_stream.data());
                EXPECT_TRUE(bytes_equal(got_stream.data(), want_stream.data(), B)) << "input " << v;
                EXPECT_TRUE(bits_equal(&gs, &ws, 1)) << "input " << v;
                EXPECT_TRUE(got_stream.guards_intact());
            }
            // Tokens coded a group at a time: token t's key is input t and its
            // value input t + 4 (wrapping), each coded as on its own.
            const size_t n = inputs.size();
            std::vector<float> rows(n * sz(hd));
            for (size_t v = 0; v < n; ++v) std::copy(inputs[v].begin(), inputs[v].end(), rows.begin() + v * sz(hd));
            for (size_t first = 0; first < n; first += kEncodeGroup) {
                const auto group = static_cast<int32_t>(std::min<size_t>(kEncodeGroup, n - first));
                std::vector<float> vals(sz(group) * sz(hd));
                for (int32_t t = 0; t < group; ++t) {
                    const auto& v = inputs[(first + sz(t) + 4) % n];
                    std::copy(v.begin(), v.end(), vals.begin() + t * hd);
                }
                CodedTokens coded;
                encode_and_pack_tokens(kt(), head, group, rows.data() + first * sz(hd), vals.data(), sz(hd), coded);
                const size_t B = sz(head.store.bytes_per_vec);
                for (int32_t t = 0; t < group; ++t) {
                    SCOPED_TRACE(testing::Message() << "group from input " << first << ", token " << t);
                    Bytes want_key(B, 0), want_val(B, 0);
                    const float ks = encode_and_pack(ref(), head, rows.data() + (first + sz(t)) * sz(hd), bits,
                                                     want_key.data());
                    const float vs = encode_and_pack(ref(), head, vals.data() + t * hd, bits, want_val.data());
                    EXPECT_TRUE(bytes_equal(coded.key[t], want_key.data(), B));
                    EXPECT_TRUE(bytes_equal(coded.val[t], want_val.data(), B));
                    // A NaN's sign depends on the compiler's operand order; such
                    // vectors are refused before any is stored.
                    const auto same = [](float got, float want) {
                        return bits_equal(&got, &want, 1) || (std::isnan(got) && std::isnan(want));
                    };
                    EXPECT_TRUE(same(coded.key_scale[t], ks));
                    EXPECT_TRUE(same(coded.val_scale[t], vs));
                }
            }
        }
    }
}

// ---- packed-code kernels ----------------------------------------------------

TEST_P(SimdEquivalence, KeyScoresMatchWithinRounding) {
    for (int32_t P : {1, 2, 4, 8, 16, 32, 64, 128, 1024}) {
        for (int32_t bits : kCodeWidths) {
            for (int32_t tokens : {1, 7, 33, 700}) {
                if (P == 1024 && tokens == 700) continue;
                const CodeRun run(bits, P, tokens, uint32_t(P * 131 + bits * 17 + tokens));
                const float* lv = levels_for_bits(bits);
                const float kf = 1.0f / (std::sqrt(float(P)) * float(P));
                for (int32_t nq : {1, 7, 8}) {
                    SCOPED_TRACE(testing::Message() << "P " << P << " bits " << bits << " tokens " << tokens
                                                    << " queries " << nq);
                    Block want(nq, P, tokens), got(nq, P, tokens);
                    std::vector<std::vector<float>> rq;
                    for (int32_t q = 0; q < nq; ++q) {
                        rq.push_back(random_vector(sz(P), uint32_t(q + 1000 * P), 3.0f));
                        std::copy(rq.back().begin(), rq.back().end(), want.vectors[sz(q)].data());
                        std::copy(rq.back().begin(), rq.back().end(), got.vectors[sz(q)].data());
                    }
                    ref().score_keys(run.view(), kf, want.view());
                    kt().score_keys(run.view(), kf, got.view());
                    for (int32_t q = 0; q < nq; ++q) {
                        const float* w = want.rows[sz(q)].data();
                        const float* g = got.rows[sz(q)].data();
                        double row_mag = 0.0;
                        for (int32_t k = 0; k < tokens; ++k) row_mag = std::max(row_mag, std::fabs(double(w[k])));
                        for (int32_t k = 0; k < tokens; ++k) {
                            // A single dot product may cancel well below its terms, so
                            // the magnitude of its terms bounds the reordering too.
                            double terms = 0.0;
                            for (int32_t j = 0; j < P; ++j) terms += std::fabs(double(lv[run.code(k, j)]) * rq[sz(q)][sz(j)]);
                            terms *= double(kf) * run.view().scales[k];
                            const double tol = kRel * row_mag + 4e-6 * terms;
                            ASSERT_LE(std::fabs(double(g[k]) - double(w[k])), tol)
                                << "query " << q << " token " << k << ": " << g[k] << " vs reference " << w[k];
                        }
                        EXPECT_TRUE(got.rows[sz(q)].guards_intact()) << "query " << q;
                        EXPECT_TRUE(got.vectors[sz(q)].guards_intact()) << "query " << q;
                        EXPECT_TRUE(bits_equal(got.vectors[sz(q)].data(), rq[sz(q)].data(), sz(P)))
                            << "score_keys changed rotated query " << q;
                    }
                }
            }
        }
    }
}

TEST_P(SimdEquivalence, ValueAccumulationMatchesScalar) {
    for (int32_t P : {1, 2, 4, 8, 16, 32, 64, 128, 1024}) {
        for (int32_t bits : kCodeWidths) {
            for (int32_t tokens : {1, 7, 33, 700}) {
                if (P == 1024 && tokens == 700) continue;
                const CodeRun run(bits, P, tokens, uint32_t(P * 37 + bits * 5 + tokens));
                const float vf = 1.0f / std::sqrt(float(P));
                for (int32_t nq : {1, 7, 8}) {
                    SCOPED_TRACE(testing::Message() << "P " << P << " bits " << bits << " tokens " << tokens
                                                    << " queries " << nq);
                    Block want(nq, P, tokens), got(nq, P, tokens);
                    std::mt19937 rng(uint32_t(nq * 11 + tokens));
                    std::exponential_distribution<float> weight{float(tokens)};
                    for (int32_t q = 0; q < nq; ++q) {
                        const std::vector<float> acc0 = random_vector(sz(P), uint32_t(q + 77 * P), 0.1f);
                        std::copy(acc0.begin(), acc0.end(), want.vectors[sz(q)].data());
                        std::copy(acc0.begin(), acc0.end(), got.vectors[sz(q)].data());
                        for (int32_t k = 0; k < tokens; ++k) {
                            want.rows[sz(q)][sz(k)] = got.rows[sz(q)][sz(k)] = weight(rng);
                        }
                    }
                    ref().accumulate_values(run.view(), vf, want.view());
                    kt().accumulate_values(run.view(), vf, got.view());
                    for (int32_t q = 0; q < nq; ++q) {
                        // Fused multiply-adds round each term once less than the scalar path.
                        const float* w = want.vectors[sz(q)].data();
                        const float* g = got.vectors[sz(q)].data();
                        float largest = 0.0f;
                        for (int32_t j = 0; j < P; ++j) largest = std::max(largest, std::fabs(w[j]));
                        for (int32_t j = 0; j < P; ++j) {
                            EXPECT_NEAR(g[j], w[j], 1e-5f * largest) << "query " << q << " coordinate " << j;
                        }
                        EXPECT_TRUE(got.vectors[sz(q)].guards_intact()) << "query " << q;
                        EXPECT_TRUE(bits_equal(got.rows[sz(q)].data(), want.rows[sz(q)].data(), sz(tokens)))
                            << "accumulate_values changed the weights of query " << q;
                        EXPECT_TRUE(got.rows[sz(q)].guards_intact()) << "query " << q;
                    }
                }
            }
        }
    }
}

// Variants read the same bytes into the same lanes and do the same arithmetic
// in the same order, so they give the same bits.
TEST_P(SimdEquivalence, VariantsOfTheLevelGiveTheSameBits) {
    std::vector<const KernelTable*> others = level_variants(kt().level);
    others.erase(std::remove(others.begin(), others.end(), GetParam()), others.end());
    if (others.empty()) GTEST_SKIP() << kt().name << " has a single variant";
    for (const KernelTable* other : others) {
        for (int32_t P : {16, 32, 128, 1024}) {
            for (int32_t bits : kCodeWidths) {
                for (int32_t tokens : {1, 7, 33, 700}) {
                    const CodeRun run(bits, P, tokens, uint32_t(P * 7 + bits * 3 + tokens));
                    for (int32_t nq : {1, 3, 8}) {
                        SCOPED_TRACE(testing::Message() << "against " << other->variant << ": P " << P << " bits "
                                                        << bits << " tokens " << tokens << " queries " << nq);
                        Block mine(nq, P, tokens), theirs(nq, P, tokens);
                        for (int32_t q = 0; q < nq; ++q) {
                            const std::vector<float> x = random_vector(sz(P), uint32_t(q + 31 * P), 2.0f);
                            std::copy(x.begin(), x.end(), mine.vectors[sz(q)].data());
                            std::copy(x.begin(), x.end(), theirs.vectors[sz(q)].data());
                        }
                        kt().score_keys(run.view(), 0.01f, mine.view());
                        other->score_keys(run.view(), 0.01f, theirs.view());
                        // The scores then serve as weights of the value sums.
                        for (int32_t q = 0; q < nq; ++q) {
                            ASSERT_TRUE(bits_equal(mine.rows[sz(q)].data(), theirs.rows[sz(q)].data(), sz(tokens)))
                                << "scores of query " << q;
                            EXPECT_TRUE(mine.rows[sz(q)].guards_intact());
                        }
                        kt().accumulate_values(run.view(), 0.1f, mine.view());
                        other->accumulate_values(run.view(), 0.1f, theirs.view());
                        for (int32_t q = 0; q < nq; ++q) {
                            ASSERT_TRUE(bits_equal(mine.vectors[sz(q)].data(), theirs.vectors[sz(q)].data(), sz(P)))
                                << "value sums of query " << q;
                            EXPECT_TRUE(mine.vectors[sz(q)].guards_intact());
                        }
                    }
                }
            }
        }
    }
}

TEST_P(KernelLevel, BlockOfQueriesScoresAndSumsAsEachQueryAlone) {
    // The batch path serves up to 8 queries per pass, in sub-blocks of 4, 2
    // and 1 with token tiles of their own; each query's numbers must not notice.
    for (int32_t P : {8, 16, 128}) {
        for (int32_t bits : kCodeWidths) {
            for (int32_t tokens : {1, 2, 3, 5, 33, 700}) {
                const CodeRun run(bits, P, tokens, uint32_t(P + bits * 3 + tokens * 101));
                const float kf = 1.0f / (std::sqrt(float(P)) * float(P));
                const float vf = 1.0f / std::sqrt(float(P));
                std::vector<std::vector<float>> rq, weights, acc0;
                for (int32_t q = 0; q < 8; ++q) {
                    rq.push_back(random_vector(sz(P), uint32_t(900 + q), 2.0f));
                    acc0.push_back(random_vector(sz(P), uint32_t(950 + q), 0.1f));
                    std::vector<float> w = random_vector(sz(tokens), uint32_t(990 + q), 1.0f);
                    for (float& x : w) x = std::fabs(x) / float(tokens);
                    weights.push_back(w);
                }
                // Each query alone.
                std::vector<std::vector<float>> lone_scores, lone_acc;
                for (int32_t q = 0; q < 8; ++q) {
                    Block b(1, P, tokens);
                    std::copy(rq[sz(q)].begin(), rq[sz(q)].end(), b.vectors[0].data());
                    kt().score_keys(run.view(), kf, b.view());
                    lone_scores.push_back(b.rows[0].values());
                    std::copy(acc0[sz(q)].begin(), acc0[sz(q)].end(), b.vectors[0].data());
                    std::copy(weights[sz(q)].begin(), weights[sz(q)].end(), b.rows[0].data());
                    kt().accumulate_values(run.view(), vf, b.view());
                    lone_acc.push_back(b.vectors[0].values());
                }
                for (int32_t nq = 2; nq <= 8; ++nq) {
                    SCOPED_TRACE(testing::Message() << "P " << P << " bits " << bits << " tokens " << tokens
                                                    << " queries " << nq);
                    Block b(nq, P, tokens);
                    for (int32_t q = 0; q < nq; ++q) std::copy(rq[sz(q)].begin(), rq[sz(q)].end(), b.vectors[sz(q)].data());
                    kt().score_keys(run.view(), kf, b.view());
                    for (int32_t q = 0; q < nq; ++q) {
                        EXPECT_TRUE(bits_equal(b.rows[sz(q)].data(), lone_scores[sz(q)].data(), sz(tokens)))
                            << "scores of query " << q;
                        EXPECT_TRUE(b.rows[sz(q)].guards_intact());
                        std::copy(acc0[sz(q)].begin(), acc0[sz(q)].end(), b.vectors[sz(q)].data());
                        std::copy(weights[sz(q)].begin(), weights[sz(q)].end(), b.rows[sz(q)].data());
                    }
                    kt().accumulate_values(run.view(), vf, b.view());
                    for (int32_t q = 0; q < nq; ++q) {
                        EXPECT_TRUE(bits_equal(b.vectors[sz(q)].data(), lone_acc[sz(q)].data(), sz(P)))
                            << "accumulator of query " << q;
                        EXPECT_TRUE(b.vectors[sz(q)].guards_intact());
                    }
                }
            }
        }
    }
}

TEST_P(KernelLevel, ZeroRotatedQueryScoresExactlyZero) {
    for (int32_t P : {1, 8, 16, 128}) {
        for (int32_t bits : kCodeWidths) {
            SCOPED_TRACE(testing::Message() << "P " << P << " bits " << bits);
            const CodeRun run(bits, P, 37, uint32_t(P * 3 + bits));
            Block b(3, P, 37);
            for (int32_t q = 0; q < 3; ++q) std::fill(b.vectors[sz(q)].data(), b.vectors[sz(q)].data() + P, 0.0f);
            kt().score_keys(run.view(), 0.01f, b.view());
            for (int32_t q = 0; q < 3; ++q) {
                for (int32_t k = 0; k < 37; ++k) ASSERT_EQ(b.rows[sz(q)][sz(k)], 0.0f) << "query " << q << " token " << k;
            }
        }
    }
}

// One-hot queries score each token with exactly the level of its code at that
// coordinate times its scale: every code of every lane of each width of the
// list decodes to its own level.
TEST_P(KernelLevel, EveryWidthDecodesEachCodeToItsLevel) {
    const int32_t T = 9;
    for (int32_t P : {16, 64}) {
        for (int32_t bits : kCodeWidths) {
            SCOPED_TRACE(testing::Message() << "P " << P << " bits " << bits);
            const CodeRun run(bits, P, T, uint32_t(5 * P + bits));
            const float* levels = levels_for_bits(bits);
            for (int32_t j0 = 0; j0 < P; j0 += 8) {
                Block b(8, P, T);
                for (int32_t q = 0; q < 8; ++q) {
                    std::fill(b.vectors[sz(q)].data(), b.vectors[sz(q)].data() + P, 0.0f);
                    b.vectors[sz(q)].data()[j0 + q] = 1.0f;
                }
                kt().score_keys(run.view(), 1.0f, b.view());
                for (int32_t q = 0; q < 8; ++q) {
                    for (int32_t k = 0; k < T; ++k) {
                        ASSERT_EQ(b.rows[sz(q)][sz(k)], levels[run.code(k, j0 + q)] * run.scales[sz(k) + 1])
                            << "token " << k << " coordinate " << j0 + q;
                    }
                }
            }
        }
    }
}

// ---- softmax -------------------------------------------------------------------

TEST_P(SimdEquivalence, SoftmaxMatchesScalarWithinRounding) {
    // Up to a few thousand terms; longer rows are held to double precision
    // below, since the scalar sequential sum itself drifts by ~1e-4 at 70000.
    std::vector<int32_t> ns;
    for (int32_t n = 1; n <= 40; ++n) ns.push_back(n);
    for (int32_t n : {100, 700, 4097}) ns.push_back(n);
    for (int32_t n : ns) {
        SCOPED_TRACE(testing::Message() << "n " << n);
        std::vector<float> x = random_vector(sz(n), uint32_t(n), 4.0f);
        for (size_t i = 3; i < x.size(); i += 11) x[i] = -200.0f;
        Floats want(x, 0), got(x, sz(n % 5) + 1);
        ref().softmax(want.data(), n);
        kt().softmax(got.data(), n);
        EXPECT_TRUE(close_to_reference(got.data(), want.data(), sz(n)));
        EXPECT_TRUE(got.guards_intact());
    }
}

TEST_P(KernelLevel, SoftmaxOfOneValueIsOneAndOfEqualValuesIsExactlyOneOverN) {
    for (float v : {0.0f, -3.25f, 87.5f, -200.0f, 1e30f, -1e30f}) {
        Floats x(1, 1);
        x[0] = v;
        kt().softmax(x.data(), 1);
        EXPECT_EQ(x[0], 1.0f) << v;
        EXPECT_TRUE(x.guards_intact());
    }
    std::vector<int32_t> ns;
    for (int32_t n = 2; n <= 40; ++n) ns.push_back(n);
    for (int32_t n : {100, 700, 4097, 70000}) ns.push_back(n);
    for (int32_t n : ns) {
        // exp(v - v) = exp(0) must be exactly 1 in the vector exponential too.
        for (float v : {0.0f, -3.25f, 1000.0f}) {
            Floats x(std::vector<float>(sz(n), v), sz(n % 3) + 1);
            kt().softmax(x.data(), n);
            const float expected = 1.0f / float(n);
            for (int32_t i = 0; i < n; ++i) ASSERT_EQ(x[sz(i)], expected) << "n " << n << " value " << v << " i " << i;
            EXPECT_TRUE(x.guards_intact());
        }
    }
}

// Double-precision softmax of float32 inputs. The bound per element has three
// parts: a few ulp for the exponential and the final product; the rounding of
// the float32 difference x - max (at most |x - max| * 2^-24, inherent to any
// float32 softmax); and the error of the float32 sum of the exponentials,
// bounded for any summation order by sum_i min(e_i, ulp of the total) plus the
// final reduction of up to 16 lanes. Weights below the normal float range may
// be flushed or clamped, hence the absolute floor.
TEST_P(KernelLevel, SoftmaxMatchesDoublePrecision) {
    std::vector<int32_t> ns;
    for (int32_t n = 1; n <= 40; ++n) ns.push_back(n);
    for (int32_t n : {100, 1000, 4097, 70000}) ns.push_back(n);
    const double floor = std::ldexp(1.0, -125);
    struct Inputs {
        float sd, offset;
        bool dominant_tail;
    };
    // Spread-out values, the same shifted by 300 (exp(300) overflows unless the
    // maximum is subtracted), and two values 100 above all others in the last,
    // partial vector: an exponential clamped at its overflow limit would give
    // those two equal weights if the maximum missed the tail.
    const Inputs inputs[] = {{1.0f, 0.0f, false}, {8.0f, 300.0f, false}, {1.0f, 0.0f, true}};
    for (int32_t n : ns) {
        for (const Inputs& in : inputs) {
            SCOPED_TRACE(testing::Message() << "n " << n << " sd " << in.sd << " offset " << in.offset
                                            << (in.dominant_tail ? " dominant tail" : ""));
            std::vector<float> x = random_vector(sz(n), uint32_t(n * 3 + int(in.sd)), in.sd);
            for (size_t i = 2; i < x.size(); i += 7) x[i] = -200.0f;
            float top = -FLT_MAX;
            for (float v : x) top = std::max(top, v);
            x.back() = top + (in.dominant_tail ? 100.5f : 1.0f);
            if (in.dominant_tail && n >= 2) x[sz(n - 2)] = top + 100.0f;
            for (float& v : x) v += in.offset;
            const double m = x.back();
            std::vector<double> e(sz(n));
            double total = 0.0;
            for (int32_t i = 0; i < n; ++i) total += (e[sz(i)] = std::exp(double(x[sz(i)]) - m));
            double lost = 16.0 * total * 2.0 * kUnitRoundoff;
            for (double ei : e) lost += std::min(ei, total * 2.0 * kUnitRoundoff);
            const double sum_rel = lost / total;

            Floats y(x, 1);
            kt().softmax(y.data(), n);
            EXPECT_TRUE(y.guards_intact());
            const double y_top = y[sz(n - 1)];
            for (int32_t i = 0; i < n; ++i) {
                const double want = e[sz(i)] / total;
                const double arg = std::fabs(double(x[sz(i)]) - m) * kUnitRoundoff;
                ASSERT_LE(std::fabs(double(y[sz(i)]) - want), want * (8.0 * kUnitRoundoff + arg + sum_rel) + floor)
                    << "element " << i << " (x - max = " << double(x[sz(i)]) - m << "): " << y[sz(i)] << " vs "
                    << want;
                // Relative to the largest weight the normalisation cancels, so each
                // exponential is checked on its own, more tightly.
                const double ratio = double(y[sz(i)]) / y_top;
                ASSERT_LE(std::fabs(ratio - e[sz(i)]), e[sz(i)] * (8.0 * kUnitRoundoff + arg) + floor / y_top)
                    << "element " << i << " (x - max = " << double(x[sz(i)]) - m << ")";
            }
        }
    }
}

// The vector exponential seen through softmax({0, x}): the second weight is
// exp(x) / (1 + exp(x)) and the first 1 / (1 + exp(x)).
void check_two_element_softmax(const KernelTable& kt, double from, double to, int steps) {
    auto ulp_at = [](double v) {
        const float f = static_cast<float>(std::fabs(v));
        return double(std::nextafter(f, std::numeric_limits<float>::infinity())) - double(f);
    };
    int failures = 0;
    for (int s = 0; s <= steps; ++s) {
        const float x = static_cast<float>(from + (to - from) * s / steps);
        float v[2] = {0.0f, x};
        kt.softmax(v, 2);
        const double e = std::exp(double(x));
        const double second = e / (1.0 + e), first = 1.0 / (1.0 + e);
        const double err2 = std::fabs(double(v[1]) - second) / ulp_at(second);
        const double err1 = std::fabs(double(v[0]) - first) / ulp_at(first);
        if (!(err2 <= 4.0 && err1 <= 4.0)) {
            ADD_FAILURE() << "x = " << std::setprecision(9) << x << ": weights " << v[0] << ", " << v[1]
                          << " vs " << first << ", " << second << " (" << err1 << " and " << err2 << " ulp)";
            if (++failures == 5) return;
        }
    }
}

TEST_P(KernelLevel, ExponentialWithinFourUlpOverTheNormalRange) {
    check_two_element_softmax(kt(), 0.0, -87.0, 40000);
}

TEST_P(KernelLevel, ExponentialWithinFourUlpIntoSubnormalResults) {
    // exp(x) for x below about -87.34 is a subnormal float32.
    check_two_element_softmax(kt(), -87.0, -100.0, 4000);
}

// ---- exact attention kernel ---------------------------------------------------

TEST_P(SimdEquivalence, ExactAttendMatchesScalarWithinRounding) {
    for (int32_t hd : kHeadDims) {
        for (int32_t T : {1, 7, 33, 512}) {
            SCOPED_TRACE(testing::Message() << "head_dim " << hd << " tokens " << T);
            const Floats exact(random_vector(2 * sz(T) * sz(hd), uint32_t(hd * 7 + T), 1.0f, 0.2f), 3);
            const Floats query(random_vector(sz(hd), uint32_t(hd + T), 1.0f), 1);
            Floats want(sz(hd), 0), got(sz(hd), 5), want_scores(sz(T), 0), got_scores(sz(T), 1);
            ref().exact_attend(exact.data(), T, hd, query.data(), want_scores.data(), want.data());
            kt().exact_attend(exact.data(), T, hd, query.data(), got_scores.data(), got.data());
            EXPECT_TRUE(close_to_reference(got.data(), want.data(), sz(hd)));
            EXPECT_TRUE(got.guards_intact());
            EXPECT_TRUE(got_scores.guards_intact());

            // The query read in full before out is written: aliasing changes nothing.
            Floats alias(query.values(), 7);
            kt().exact_attend(exact.data(), T, hd, alias.data(), got_scores.data(), alias.data());
            EXPECT_TRUE(bits_equal(alias.data(), got.data(), sz(hd))) << "query and out the same array";
            EXPECT_TRUE(alias.guards_intact());
        }
    }
}

// ---- whole heads ----------------------------------------------------------------

struct Ring {
    int32_t capacity, appends;
};

// Exact path (no wrap, at most 512 tokens) and quantized path: a ring of 1000
// after 700 appends (no wrap) and wrapped rings, whose held tokens are two runs
// of slots (600 after 700 appends holds slots 100..599 then 0..99).
const Ring kRings[] = {{64, 1}, {64, 7}, {64, 33}, {7, 7}, {1000, 700}, {600, 700}, {7, 40}, {33, 34}, {1, 3}};
const Ring kRingsLargeHead[] = {{64, 33}, {600, 700}};

TEST_P(SimdEquivalence, HeadsAppendAndAttendLikeScalar) {
    for (int32_t hd : kHeadDims) {
        const bool large = hd == 1024;
        const Ring* rings = large ? kRingsLargeHead : kRings;
        const size_t n_rings = large ? std::size(kRingsLargeHead) : std::size(kRings);
        for (int32_t bits : kCodeWidths) {
            for (size_t r = 0; r < n_rings; ++r) {
                const Ring ring = rings[r];
                SCOPED_TRACE(testing::Message() << "head_dim " << hd << " bits " << bits << " capacity "
                                                << ring.capacity << " appends " << ring.appends);
                const uint64_t seed = 0x1234ULL * uint64_t(hd) + uint64_t(bits);
                HeadCache want_head = make_head(hd, bits, ring.capacity, seed);
                HeadCache head = make_head(hd, bits, ring.capacity, seed);
                const Tokens tok = level_tokens(hd, ring.appends, uint32_t(hd * 10 + bits + ring.appends));
                append_range(ref(), want_head, tok, 0, sz(ring.appends));
                append_range(kt(), head, tok, 0, sz(ring.appends));
                ASSERT_TRUE(same_store(head.store, want_head.store));
                const bool exact = ring.appends <= ring.capacity && ring.appends <= kExactWindow;
                ASSERT_EQ(answers_exactly(head), exact);
                const int32_t T = head.store.count;

                const int32_t nq = 3;
                const Floats queries(random_vector(sz(nq) * sz(hd), uint32_t(hd + bits), 1.0f), 1);
                for (int32_t q = 0; q < nq; ++q) {
                    const float* query = queries.data() + sz(q) * sz(hd);
                    Floats want(sz(hd), 0), got(sz(hd), 3), again(sz(hd), 1);
                    ASSERT_EQ(head_attend(ref(), want_head, query, want.data()), T);
                    ASSERT_EQ(head_attend(kt(), head, query, got.data()), T);
                    EXPECT_TRUE(close_to_reference(got.data(), want.data(), sz(hd))) << "query " << q;
                    EXPECT_TRUE(got.guards_intact());
                    ASSERT_EQ(head_attend(kt(), head, query, again.data()), T);
                    EXPECT_TRUE(bits_equal(again.data(), got.data(), sz(hd))) << "second run of query " << q;
                }
                Floats want_batch(sz(nq) * sz(hd), 0), batch(sz(nq) * sz(hd), 1);
                ASSERT_EQ(head_attend_batch(ref(), want_head, queries.data(), nq, want_batch.data()), T);
                ASSERT_EQ(head_attend_batch(kt(), head, queries.data(), nq, batch.data()), T);
                EXPECT_TRUE(close_to_reference(batch.data(), want_batch.data(), sz(nq) * sz(hd)));
                EXPECT_TRUE(batch.guards_intact());
            }
        }
    }
}

// Uniform weights through a level's accumulation over the ring's runs, oldest
// first, then the inverse rotation: the quantized answer for equal weights w.
std::vector<float> quantized_answer_with_equal_weights(const KernelTable& level, const HeadCache& head, float w) {
    const CodeStore& st = head.store;
    const int32_t P = head.rotation.P, T = st.count, B = st.bytes_per_vec;
    std::vector<float> acc(sz(P), 0.0f);
    std::vector<float> weights(sz(T), w);
    const int32_t start = (st.write_slot - T + st.capacity) % st.capacity;
    const int32_t first_run = std::min(T, st.capacity - start);
    float* accp = acc.data();
    float* rowp = weights.data();
    const QueryBlock block{1, &accp, &rowp};
    const float vf = 1.0f / std::sqrt(float(P));
    level.accumulate_values(
        PackedTokens{st.val_codes.data() + sz(start) * sz(B), st.val_scales.data() + start, first_run, B, P, st.bits,
                     st.codebook.levels},
        vf, block);
    if (first_run < T) {
        level.accumulate_values(
            PackedTokens{st.val_codes.data(), st.val_scales.data(), T - first_run, B, P, st.bits, st.codebook.levels}, vf, block);
    }
    level.rht_inverse(acc.data(), head.rotation.signs.data(), P);
    acc.resize(sz(head.head_dim));
    return acc;
}

TEST_P(KernelLevel, ZeroQueryWeighsEveryTokenExactlyOneOverT) {
    // Exact path: token t's value is the unit vector e_t, so out[t] is its weight.
    for (const Ring ring : {Ring{64, 1}, Ring{64, 7}, Ring{64, 33}, Ring{512, 100}}) {
        const int32_t hd = ring.appends <= 64 ? 64 : 100;
        SCOPED_TRACE(testing::Message() << "exact path, tokens " << ring.appends);
        HeadCache head = make_head(hd, 3, ring.capacity, 99);
        const Tokens tok = level_tokens(hd, ring.appends, 4u);
        for (int32_t t = 0; t < ring.appends; ++t) {
            std::vector<float> val(sz(hd), 0.0f);
            val[sz(t)] = 1.0f;
            head_append(kt(), head, tok.key(sz(t)), val.data(), t);
        }
        ASSERT_TRUE(answers_exactly(head));
        const Floats query(std::vector<float>(sz(hd), 0.0f), 1);
        Floats out(sz(hd), 3);
        ASSERT_EQ(head_attend(kt(), head, query.data(), out.data()), ring.appends);
        const float w = 1.0f / float(ring.appends);
        for (int32_t j = 0; j < hd; ++j) ASSERT_EQ(out[sz(j)], j < ring.appends ? w : 0.0f) << "coordinate " << j;
        EXPECT_TRUE(out.guards_intact());
    }
    // Quantized path, wrapped ring: every score is exactly 0, so every weight is
    // exactly 1/T and the answer is this level's equal-weight sum to the bit.
    for (int32_t hd : {5, 100}) {
        for (int32_t bits : kCodeWidths) {
            for (const Ring ring : {Ring{40, 50}, Ring{600, 700}}) {
                SCOPED_TRACE(testing::Message() << "quantized path, head_dim " << hd << " bits " << bits
                                                << " capacity " << ring.capacity);
                HeadCache head = make_head(hd, bits, ring.capacity, 7 + uint64_t(bits));
                const Tokens tok = level_tokens(hd, ring.appends, uint32_t(hd + bits));
                append_range(kt(), head, tok, 0, sz(ring.appends));
                ASSERT_FALSE(answers_exactly(head));
                const Floats query(std::vector<float>(sz(hd), 0.0f), 1);
                Floats out(sz(hd), 1);
                ASSERT_EQ(head_attend(kt(), head, query.data(), out.data()), ring.capacity);
                const std::vector<float> want =
                    quantized_answer_with_equal_weights(kt(), head, 1.0f / float(ring.capacity));
                EXPECT_TRUE(bits_equal(out.data(), want.data(), sz(hd)));
                for (int32_t j = 0; j < hd; ++j) EXPECT_TRUE(std::isfinite(out[sz(j)]));
            }
        }
    }
}

TEST_P(SimdEquivalence, ZeroQueryOnQuantizedPathMatchesScalar) {
    // Equal weights: only the fused value sums and the rotation's rounding differ.
    for (int32_t hd : {1, 5, 64, 100, 1024}) {
        for (int32_t bits : kCodeWidths) {
            SCOPED_TRACE(testing::Message() << "head_dim " << hd << " bits " << bits);
            HeadCache head = make_head(hd, bits, 33, 3);
            const Tokens tok = level_tokens(hd, 40, uint32_t(hd * bits));
            append_range(scalar_kernels(), head, tok, 0, 40);
            const std::vector<float> zero(sz(hd), 0.0f);
            Floats want(sz(hd), 0), got(sz(hd), 1);
            head_attend(ref(), head, zero.data(), want.data());
            head_attend(kt(), head, zero.data(), got.data());
            float largest = 0.0f;
            for (int32_t j = 0; j < hd; ++j) largest = std::max(largest, std::fabs(want[sz(j)]));
            for (int32_t j = 0; j < hd; ++j) EXPECT_NEAR(got[sz(j)], want[sz(j)], 1e-5f * largest) << j;
        }
    }
}

TEST_P(KernelLevel, BatchRowsEqualSingleQueriesBitForBit) {
    struct Case {
        int32_t hd, bits;
        Ring ring;
    };
    const Case cases[] = {{100, 2, {600, 700}}, {100, 3, {600, 700}}, {100, 4, {600, 700}},
                          {5, 3, {7, 40}},      {64, 4, {64, 33}},    {1, 2, {33, 34}}};
    constexpr int32_t kRows = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "head_dim " << c.hd << " bits " << c.bits << " capacity "
                                        << c.ring.capacity << " appends " << c.ring.appends);
        HeadCache head = make_head(c.hd, c.bits, c.ring.capacity, 21);
        const Tokens tok = level_tokens(c.hd, c.ring.appends, uint32_t(c.hd + c.bits * 1000));
        append_range(kt(), head, tok, 0, sz(c.ring.appends));
        const size_t hd = sz(c.hd);
        const std::vector<float> qs = random_vector(sz(kRows) * hd, uint32_t(c.hd * 3 + c.bits), 1.5f);
        std::vector<float> single(sz(kRows) * hd);
        for (int32_t r = 0; r < kRows; ++r) head_attend(kt(), head, qs.data() + sz(r) * hd, single.data() + sz(r) * hd);
        for (int32_t n = 1; n <= kRows; ++n) {
            const Floats queries(std::vector<float>(qs.begin(), qs.begin() + long(sz(n) * hd)), 1);
            Floats out(sz(n) * hd, 3);
            ASSERT_EQ(head_attend_batch(kt(), head, queries.data(), n, out.data()), head.store.count);
            for (int32_t r = 0; r < n; ++r) {
                EXPECT_TRUE(bits_equal(out.data() + sz(r) * hd, single.data() + sz(r) * hd, hd))
                    << "batch of " << n << ", row " << r;
            }
            EXPECT_TRUE(out.guards_intact()) << "batch of " << n;
            // Again, and with the queries overwritten by the answers in place.
            Floats again(sz(n) * hd, 1);
            head_attend_batch(kt(), head, queries.data(), n, again.data());
            EXPECT_TRUE(bits_equal(again.data(), out.data(), sz(n) * hd)) << "second run, batch of " << n;
            Floats alias(queries.values(), 5);
            head_attend_batch(kt(), head, alias.data(), n, alias.data());
            EXPECT_TRUE(bits_equal(alias.data(), out.data(), sz(n) * hd)) << "in place, batch of " << n;
            EXPECT_TRUE(alias.guards_intact());
        }
    }
}

TEST_P(KernelLevel, QueryAndOutMayBeTheSameArray) {
    for (const Ring ring : {Ring{64, 33}, Ring{600, 700}, Ring{7, 40}}) {
        for (int32_t hd : {5, 100}) {
            SCOPED_TRACE(testing::Message() << "head_dim " << hd << " capacity " << ring.capacity);
            HeadCache head = make_head(hd, 4, ring.capacity, 5);
            const Tokens tok = level_tokens(hd, ring.appends, uint32_t(hd + ring.appends));
            append_range(kt(), head, tok, 0, sz(ring.appends));
            const Floats query(random_vector(sz(hd), 17u), 1);
            Floats out(sz(hd), 3);
            head_attend(kt(), head, query.data(), out.data());
            Floats alias(query.values(), 1);
            head_attend(kt(), head, alias.data(), alias.data());
            EXPECT_TRUE(bits_equal(alias.data(), out.data(), sz(hd)));
            EXPECT_TRUE(alias.guards_intact());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Levels, SimdEquivalence, testing::ValuesIn(available_variants(false)), table_name);
INSTANTIATE_TEST_SUITE_P(Levels, KernelLevel, testing::ValuesIn(available_variants(true)), table_name);
// With no SIMD level on the machine SimdEquivalence has no instances; the skip
// of SimdLevelPresence reports it.
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(SimdEquivalence);

}  // namespace
}  // namespace kelvor::test
