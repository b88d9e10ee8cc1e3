#include "core/support/memory_budget.h"

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

namespace kelvor {
namespace {

// Address space the process maps now, or 0 when /proc cannot tell.
uint64_t mapped_bytes() {
    std::FILE* f = std::fopen("/proc/self/statm", "r");
    if (f == nullptr) return 0;
    unsigned long long pages = 0;
    const bool ok = std::fscanf(f, "%llu", &pages) == 1;
    std::fclose(f);
    return ok ? pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) : 0;
}

// 1.5 GiB, 97.7 TiB: the size a reader takes in at a glance.
std::string readable(uint64_t bytes) {
    static const char* const units[] = {"bytes", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double size = static_cast<double>(bytes);
    int unit = 0;
    while (size >= 1024.0 && unit < 6) {
        size /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", size, units[unit]);
    return text;
}

}  // namespace

MemoryLimit memory_limit() {
    const auto pages = static_cast<uint64_t>(sysconf(_SC_PHYS_PAGES));
    MemoryLimit limit{pages * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)), "bytes of memory on this machine"};
    rlimit as{};
    if (getrlimit(RLIMIT_AS, &as) == 0 && as.rlim_cur != RLIM_INFINITY) {
        const uint64_t used = mapped_bytes();
        const uint64_t left = as.rlim_cur > used ? as.rlim_cur - used : 0;
        if (left < limit.bytes) limit = {left, "bytes left under this process's address-space limit"};
    }
    return limit;
}

void require_memory(uint64_t bytes, const std::string& asker) {
    const MemoryLimit limit = memory_limit();
    if (bytes <= limit.bytes) return;
    throw MemoryBudgetError(asker + " needs " + std::to_string(bytes) + " bytes (" + readable(bytes) + "), more than the " +
                            std::to_string(limit.bytes) + " " + limit.what + " (" + readable(limit.bytes) + ")");
}

MemoryBudgetError refused_memory(uint64_t bytes, const std::string& asker) {
    const MemoryLimit limit = memory_limit();
    return MemoryBudgetError(asker + " needs " + std::to_string(bytes) + " bytes (" + readable(bytes) +
                             ") more, which the system refused (" + std::to_string(limit.bytes) + " " + limit.what +
                             " (" + readable(limit.bytes) + "))");
}

}  // namespace kelvor
