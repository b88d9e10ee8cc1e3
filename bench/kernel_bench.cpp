// Microbenchmarks of the hot kernels at every SIMD level the machine runs.
#include <benchmark/benchmark.h>

#include <random>
#include <string>
#include <vector>

#include "core/attention/attention.h"
#include "core/codecs/encoder.h"
#include "core/heads/coded_tokens.h"
#include "core/kernels/kernels.h"
#include "core/support/aligned_bytes.h"
#include "core/support/limits.h"

namespace kelvor {
namespace {

constexpr int32_t kP = 128;

struct Ring {
    AlignedBytes codes;
    std::vector<float> scales;
    int32_t bytes_per_vec;
    Ring(int32_t bits, int32_t tokens)
        : codes(static_cast<size_t>(stream_bytes(bits, kP)) * tokens), scales(static_cast<size_t>(tokens), 1.5f),
          bytes_per_vec(stream_bytes(bits, kP)) {
        std::mt19937 gen(7);
        for (size_t i = 0; i < codes.size(); ++i) codes.data()[i] = static_cast<uint8_t>(gen());
    }
    PackedTokens view(int32_t bits, int32_t tokens) const {
        return PackedTokens{codes.data(), scales.data(), tokens, bytes_per_vec, kP, bits, levels_for_bits(bits)};
    }
};

std::vector<float> random_vector(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> dist;
    std::vector<float> v(n);
    for (float& x : v) x = dist(gen);
    return v;
}

void score_keys(benchmark::State& state, const KernelTable* kt, int32_t bits, int32_t nq) {
    const int32_t T = static_cast<int32_t>(state.range(0));
    Ring ring(bits, T);
    std::vector<std::vector<float>> rq, rows;
    std::vector<float*> rq_ptrs, row_ptrs;
    for (int32_t q = 0; q < nq; ++q) {
        rq.push_back(random_vector(kP, 10 + q));
        rows.emplace_back(static_cast<size_t>(T));
    }
    for (int32_t q = 0; q < nq; ++q) rq_ptrs.push_back(rq[q].data()), row_ptrs.push_back(rows[q].data());
    for (auto _ : state) {
        kt->score_keys(ring.view(bits, T), 0.01f, QueryBlock{nq, rq_ptrs.data(), row_ptrs.data()});
        benchmark::DoNotOptimize(rows[0].data());
    }
    state.counters["ns_per_token_query"] =
        benchmark::Counter(static_cast<double>(T) * nq, benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

void accumulate_values(benchmark::State& state, const KernelTable* kt, int32_t bits, int32_t nq) {
    const int32_t T = static_cast<int32_t>(state.range(0));
    Ring ring(bits, T);
    std::vector<std::vector<float>> acc, rows;
    std::vector<float*> acc_ptrs, row_ptrs;
    for (int32_t q = 0; q < nq; ++q) {
        acc.emplace_back(kP, 0.0f);
        rows.emplace_back(static_cast<size_t>(T), 1.0f / static_cast<float>(T));
    }
    for (int32_t q = 0; q < nq; ++q) acc_ptrs.push_back(acc[q].data()), row_ptrs.push_back(rows[q].data());
    for (auto _ : state) {
        kt->accumulate_values(ring.view(bits, T), 0.1f, QueryBlock{nq, acc_ptrs.data(), row_ptrs.data()});
        benchmark::DoNotOptimize(acc[0].data());
    }
    state.counters["ns_per_token_query"] =
        benchmark::Counter(static_cast<double>(T) * nq, benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
}

void softmax(benchmark::State& state, const KernelTable* kt) {
    const int32_t T = static_cast<int32_t>(state.range(0));
    const std::vector<float> src = random_vector(static_cast<size_t>(T), 3);
    std::vector<float> x(src);
    for (auto _ : state) {
        std::copy(src.begin(), src.end(), x.begin());
        kt->softmax(x.data(), T);
        benchmark::DoNotOptimize(x.data());
    }
}

void rotation(benchmark::State& state, const KernelTable* kt) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    std::vector<float> x = random_vector(static_cast<size_t>(n), 5);
    std::vector<int8_t> signs(static_cast<size_t>(n), 1);
    for (auto _ : state) {
        kt->rht_forward(x.data(), signs.data(), n);
        kt->rht_inverse(x.data(), signs.data(), n);
        benchmark::DoNotOptimize(x.data());
    }
}

// Four tokens' keys and values coded one token at a time (group 1) or together
// (group 4), as one-token appends and prompts code them.
void encode_tokens(benchmark::State& state, const KernelTable* kt) {
    const auto group = static_cast<int32_t>(state.range(0));
    HeadCache head;
    head_cache_init(head, kP, 3, 64, 1, 0.0f);
    const std::vector<float> keys = random_vector(4 * kP, 6), vals = random_vector(4 * kP, 7);
    CodedTokens coded;
    for (auto _ : state) {
        for (int32_t t = 0; t < kEncodeGroup; t += group) {
            encode_and_pack_tokens(*kt, head, group, keys.data() + t * kP, vals.data() + t * kP, kP, coded);
        }
        benchmark::DoNotOptimize(coded.key[0]);
    }
    state.counters["ns_per_token"] = benchmark::Counter(
        kEncodeGroup, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

int register_all() {
    for (SimdLevel level : simd_levels()) {
        for (const KernelTable* variant : level_variants(level)) {
            // A level's other variants differ only at 3 bits.
            if (variant == kernels_for(level)) continue;
            const std::string name = std::string(variant->name) + "_" + variant->variant;
            for (int32_t nq : {1, 8}) {
                const std::string suffix = "/" + name + "/bits3/nq" + std::to_string(nq);
                benchmark::RegisterBenchmark(("score_keys" + suffix).c_str(), score_keys, variant, 3, nq)->Arg(65536);
                benchmark::RegisterBenchmark(("accumulate_values" + suffix).c_str(), accumulate_values, variant, 3, nq)
                    ->Arg(65536);
            }
        }
        const KernelTable* kt = kernels_for(level);
        if (kt == nullptr) continue;
        const std::string name = kt->variant[0] != '\0' ? std::string(kt->name) + "_" + kt->variant : kt->name;
        for (int32_t bits : {2, 3, 4}) {
            for (int32_t nq : {1, 8}) {
                const std::string suffix = "/" + name + "/bits" + std::to_string(bits) + "/nq" + std::to_string(nq);
                benchmark::RegisterBenchmark(("score_keys" + suffix).c_str(), score_keys, kt, bits, nq)->Arg(65536)->Arg(4096);
                benchmark::RegisterBenchmark(("accumulate_values" + suffix).c_str(), accumulate_values, kt, bits, nq)
                    ->Arg(65536)->Arg(4096);
            }
        }
        benchmark::RegisterBenchmark(("softmax/" + name).c_str(), softmax, kt)->Arg(65536)->Arg(4096);
        benchmark::RegisterBenchmark(("rotation_forward_inverse/" + name).c_str(), rotation, kt)->Arg(128);
        benchmark::RegisterBenchmark(("encode_tokens/" + name + "/bits3/group").c_str(), encode_tokens, kt)
            ->Arg(1)
            ->Arg(kEncodeGroup);
    }
    return 0;
}

const int registered = register_all();

}  // namespace
}  // namespace kelvor

BENCHMARK_MAIN();
