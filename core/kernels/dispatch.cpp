// The registry of kernel levels, and the choice of one per process from what
// the CPU runs and KELVOR_SIMD. Adding a level means an entry here and its own
// file (plus its flags in core/kernels/CMakeLists.txt).
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
#else
bool runs_avx2() { return false; }
bool runs_avx512() { return false; }
#endif

// Advanced SIMD is part of every AArch64 processor.
bool runs_neon() { return kBuildFamily == CpuFamily::aarch64; }
bool runs_scalar() { return true; }
const KernelTable* scalar_table() { return &scalar_kernels(); }

struct Level {
    SimdLevel level;
    const char* name;
    CpuFamily family;                // CpuFamily::any: runs everywhere
    const KernelTable* (*table)();  // nullptr when the build leaves the level out
    bool (*runs)();                  // the CPU and operating system run it
};

// Every level, best first within each CPU family: the fallback order.
constexpr Level kLevels[] = {
    {SimdLevel::avx512, "avx512", CpuFamily::x86_64, avx512_kernels, runs_avx512},
    {SimdLevel::avx2, "avx2", CpuFamily::x86_64, avx2_kernels, runs_avx2},
    {SimdLevel::neon, "neon", CpuFamily::aarch64, neon_kernels, runs_neon},
    {SimdLevel::scalar, "scalar", CpuFamily::any, scalar_table, runs_scalar},
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
const KernelTable* avx512_kernels() { return nullptr; }
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

const KernelTable& kernels() {
    static const KernelTable& table = choose_table();
    return table;
}

}  // namespace kelvor
