// Chooses the kernel table once per process from CPUID/XGETBV and KELVOR_SIMD.
#include <cpuid.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/kernels.h"

namespace kelvor {
namespace {

uint64_t xgetbv0() {
    uint32_t eax = 0, edx = 0;
    __asm__ volatile("xgetbv" : "=a"(eax), "=d"(edx) : "c"(0));
    return (static_cast<uint64_t>(edx) << 32) | eax;
}

// Highest level both the processor and the operating system (saved register
// state) support.
SimdLevel machine_level() {
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return SimdLevel::scalar;
    const bool osxsave = c & bit_OSXSAVE;
    const bool fma = c & bit_FMA;
    const bool avx = c & bit_AVX;
    if (!osxsave || !avx || !fma) return SimdLevel::scalar;
    const uint64_t xcr0 = xgetbv0();
    const bool ymm_state = (xcr0 & 0x6) == 0x6;
    const bool zmm_state = (xcr0 & 0xe6) == 0xe6;
    if (!ymm_state || !__get_cpuid_count(7, 0, &a, &b, &c, &d)) return SimdLevel::scalar;
    if (!(b & bit_AVX2)) return SimdLevel::scalar;
    const bool avx512 = (b & bit_AVX512F) && (b & bit_AVX512BW) && (b & bit_AVX512DQ) && (b & bit_AVX512VL);
    return avx512 && zmm_state ? SimdLevel::avx512 : SimdLevel::avx2;
}

const KernelTable* compiled_table(SimdLevel level) {
    switch (level) {
        case SimdLevel::scalar: return &scalar_kernels();
        case SimdLevel::avx2: return avx2_kernels();
        case SimdLevel::avx512: return avx512_kernels();
    }
    return nullptr;
}

const KernelTable* best_table(SimdLevel limit) {
    for (int l = static_cast<int>(limit); l >= 0; --l) {
        if (const KernelTable* t = compiled_table(static_cast<SimdLevel>(l))) return t;
    }
    return &scalar_kernels();
}

const KernelTable& choose_table() {
    const SimdLevel machine = machine_level();
    const char* forced = std::getenv("KELVOR_SIMD");
    if (forced == nullptr || forced[0] == '\0') return *best_table(machine);
    for (SimdLevel l : {SimdLevel::scalar, SimdLevel::avx2, SimdLevel::avx512}) {
        if (std::strcmp(forced, simd_level_name(l)) != 0) continue;
        if (static_cast<int>(l) > static_cast<int>(machine)) {
            throw std::runtime_error(std::string("KELVOR_SIMD=") + forced +
                                     " asks for a SIMD level this machine does not support (best: " +
                                     simd_level_name(machine) + ")");
        }
        if (const KernelTable* t = compiled_table(l)) return *t;
        throw std::runtime_error(std::string("KELVOR_SIMD=") + forced + " names a level this build does not include");
    }
    throw std::runtime_error(std::string("KELVOR_SIMD must be scalar, avx2 or avx512, not '") + forced + "'");
}

}  // namespace

#ifndef KELVOR_HAVE_AVX2
const KernelTable* avx2_kernels() { return nullptr; }
#endif
#ifndef KELVOR_HAVE_AVX512
const KernelTable* avx512_kernels() { return nullptr; }
#endif

const char* simd_level_name(SimdLevel level) {
    switch (level) {
        case SimdLevel::scalar: return "scalar";
        case SimdLevel::avx2: return "avx2";
        case SimdLevel::avx512: return "avx512";
    }
    return "unknown";
}

const KernelTable* kernels_for(SimdLevel level) {
    if (static_cast<int>(level) > static_cast<int>(machine_level())) return nullptr;
    return compiled_table(level);
}

const KernelTable& kernels() {
    static const KernelTable& table = choose_table();
    return table;
}

}  // namespace kelvor
