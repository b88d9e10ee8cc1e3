// The registry of kernel levels, and the choice of one per process from what
// the CPU runs and KELVOR_SIMD (and of the AVX-512 level's 3-bit decoder, from
// the CPU family and KELVOR_AVX512_3BIT). Adding a level means an entry here
// and its own file (plus its flags in core/kernels/CMakeLists.txt).
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include "core/kernels/kernels.h"

#if defined(__x86_64__)
#include <cpuid.h>
#endif

namespace kelvor {
namespace {

enum class CpuFamily { any, x86_64, aarch64 };

#if defined(__x86_64__)
constexpr CpuFamily kBuildFamily = CpuFamily::x86_64;
#elif defined(__aarch64__)
constexpr CpuFamily kBuildFamily = CpuFamily::aarch64;
#else
constexpr CpuFamily kBuildFamily = CpuFamily::any;  // the scalar level only
#endif

#if defined(__x86_64__)
uint64_t xgetbv0() {
    uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<uint64_t>(edx) << 32) | eax;
}

// The processor has the instructions and the operating system saves the
// registers (XCR0: 0x6 for YMM, 0xe6 for ZMM and the mask registers).
bool x86_runs(bool want_avx512) {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return false;
    if (!(c & bit_OSXSAVE) || !(c & bit_AVX) || !(c & bit_FMA)) return false;
    const uint64_t xcr0 = xgetbv0();
    if ((xcr0 & 0x6) != 0x6 || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return false;
    if (!(b & bit_AVX2)) return false;
    if (!want_avx512) return true;
    const bool avx512 = (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_AVX512DQ) && (b & bit_AVX512VL);
    return avx512 && (xcr0 & 0xe6) == 0xe6;
}
bool runs_avx2() { return x86_runs(false); }
bool runs_avx512() { return x86_runs(true); }

// The AMD family number (base plus extended), or 0 on other vendors.
unsigned amd_family() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(0, &a, &b, &c, &d) || b != 0x68747541u || d != 0x69746e65u || c != 0x444d4163u) return 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return 0;
    const unsigned base = (a >> 8) & 0xf;
    return base == 0xf ? base + ((a >> 20) & 0xff) : base;
}
#else
bool runs_avx2() { return false; }
bool runs_avx512() { return false; }
unsigned amd_family() { return 0; }
#endif

// Zen 4 (AMD family 0x19; the earlier cores of that family lack AVX-512) runs
// AVX-512 on 256-bit units, where a 512-bit byte shuffle per chunk costs more
// than rewriting each token once; elsewhere the shuffle is faster. `make bench`
// times both side by side.
ThreeBitDecoder choose_three_bit_decoder() {
    const char* forced = std::getenv("KELVOR_AVX512_3BIT");
    if (forced == nullptr || forced[0] == '\0') {
        return amd_family() == 0x19 ? ThreeBitDecoder::rewrite : ThreeBitDecoder::shuffle;
    }
    if (std::strcmp(forced, "shuffle") == 0) return ThreeBitDecoder::shuffle;
    if (std::strcmp(forced, "rewrite") == 0) return ThreeBitDecoder::rewrite;
    throw std::runtime_error(std::string("KELVOR_AVX512_3BIT must be shuffle or rewrite, not '") + forced + "'");
}

ThreeBitDecoder three_bit_decoder() {
    static const ThreeBitDecoder chosen = choose_three_bit_decoder();
    return chosen;
}

// Variant 0 is the AVX-512 table this CPU uses, variant 1 the other decoder.
const KernelTable* avx512_variant(int variant) {
    const ThreeBitDecoder chosen = three_bit_decoder();
    if (variant == 0) return avx512_kernels(chosen);
    if (variant > 1) return nullptr;
    return avx512_kernels(chosen == ThreeBitDecoder::shuffle ? ThreeBitDecoder::rewrite : ThreeBitDecoder::shuffle);
}

template <const KernelTable* (*Table)()>
const KernelTable* single_variant(int variant) {
    return variant == 0 ? Table() : nullptr;
}

// Advanced SIMD is part of every AArch64 processor.
bool runs_neon() { return kBuildFamily == CpuFamily::aarch64; }
bool runs_scalar() { return true; }
const KernelTable* scalar_table() { return &scalar_kernels(); }

struct Level {
    SimdLevel level;
    const char* name;
    CpuFamily family;  // CpuFamily::any: runs everywhere
    // Variant 0: the table the level uses here; then any others, and nullptr
    // past the last or when the build leaves the level out.
    const KernelTable* (*variant)(int);
    bool (*runs)();  // the CPU and operating system run it
    const KernelTable* table() const { return variant(0); }
};

// Every level, best first within each CPU family: the fallback order.
constexpr Level kLevels[] = {
    {SimdLevel::avx512, "avx512", CpuFamily::x86_64, avx512_variant, runs_avx512},
    {SimdLevel::avx2, "avx2", CpuFamily::x86_64, single_variant<avx2_kernels>, runs_avx2},
    {SimdLevel::neon, "neon", CpuFamily::aarch64, single_variant<neon_kernels>, runs_neon},
    {SimdLevel::scalar, "scalar", CpuFamily::any, single_variant<scalar_table>, runs_scalar},
};

bool of_this_family(const Level& l) { return l.family == CpuFamily::any || l.family == kBuildFamily; }

const Level* find(SimdLevel level) {
    for (const Level& l : kLevels) {
        if (l.level == level) return &l;
    }
    return nullptr;
}

const KernelTable* usable(const Level& l) {
    if (!of_this_family(l) || !l.runs()) return nullptr;
    return l.table();
}

const KernelTable& best_table() {
    for (const Level& l : kLevels) {
        if (const KernelTable* t = usable(l)) return *t;
    }
    return scalar_kernels();
}

const KernelTable& choose_table() {
    three_bit_decoder();  // a bad KELVOR_AVX512_3BIT fails whatever the level
    const char* forced = std::getenv("KELVOR_SIMD");
    if (forced == nullptr || forced[0] == '\0') return best_table();
    std::string names;
    for (const Level& l : kLevels) {
        if (!names.empty()) names += ", ";
        names += l.name;
        if (std::strcmp(forced, l.name) != 0) continue;
        if (!of_this_family(l) || !l.runs()) {
            throw std::runtime_error(std::string("KELVOR_SIMD=") + forced +
                                     " asks for a SIMD level this machine does not support (best: " +
                                     best_table().name + ")");
        }
        if (const KernelTable* t = l.table()) return *t;
        throw std::runtime_error(std::string("KELVOR_SIMD=") + forced + " names a level this build does not include");
    }
    throw std::runtime_error(std::string("KELVOR_SIMD must be one of ") + names + ", not '" + forced + "'");
}

}  // namespace

#ifndef KELVOR_HAVE_AVX2
const KernelTable* avx2_kernels() { return nullptr; }
#endif
#ifndef KELVOR_HAVE_AVX512
const KernelTable* avx512_kernels(ThreeBitDecoder) { return nullptr; }
#endif
#ifndef KELVOR_HAVE_NEON
const KernelTable* neon_kernels() { return nullptr; }
#endif

const std::vector<SimdLevel>& simd_levels() {
    static const std::vector<SimdLevel> levels = [] {
        std::vector<SimdLevel> v;
        for (int i = static_cast<int>(std::size(kLevels)) - 1; i >= 0; --i) {
            if (of_this_family(kLevels[i])) v.push_back(kLevels[i].level);
        }
        return v;
    }();
    return levels;
}

const char* simd_level_name(SimdLevel level) {
    const Level* l = find(level);
    return l != nullptr ? l->name : "unknown";
}

const KernelTable* kernels_for(SimdLevel level) {
    const Level* l = find(level);
    return l != nullptr ? usable(*l) : nullptr;
}

std::vector<const KernelTable*> level_variants(SimdLevel level) {
    std::vector<const KernelTable*> tables;
    const Level* l = find(level);
    if (l == nullptr || usable(*l) == nullptr) return tables;
    for (int v = 0; const KernelTable* t = l->variant(v); ++v) tables.push_back(t);
    return tables;
}

std::string kernels_description(const KernelTable& table) {
    std::string d = table.name;
    // Only the AVX-512 level has variants so far: its 3-bit decoders.
    if (table.variant[0] != '\0') d += std::string(" (3-bit decoder: ") + table.variant + ")";
    return d;
}

const KernelTable& kernels() {
    static const KernelTable& table = choose_table();
    return table;
}

}  // namespace kelvor
