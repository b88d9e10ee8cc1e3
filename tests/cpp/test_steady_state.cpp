// Appends and computes allocate nothing once a head has filled its ring, with
// or without the accuracy options. Allocations are counted by replacing the
// global operator new of this test binary (not under AddressSanitizer, which
// brings its own).
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "core/attention/attention.h"
#include "test_support.h"

#if defined(__SANITIZE_ADDRESS__)
#define KELVOR_COUNTS_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KELVOR_COUNTS_ALLOCATIONS 0
#endif
#endif
#ifndef KELVOR_COUNTS_ALLOCATIONS
#define KELVOR_COUNTS_ALLOCATIONS 1
#endif

namespace {
thread_local long allocations = 0;
}

#if KELVOR_COUNTS_ALLOCATIONS
void* operator new(std::size_t n) {
    ++allocations;
    if (void* p = std::malloc(n != 0 ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif

namespace kelvor::test {
namespace {

TEST(SteadyState, AppendAndComputeAllocateNothingOnceTheRingIsFull) {
    if (!KELVOR_COUNTS_ALLOCATIONS) GTEST_SKIP() << "allocations are not counted under AddressSanitizer";
    const int32_t hd = 32, capacity = 64;
    const Tokens tok = random_tokens(hd, 400, 5, 0.2f);
    const Tokens queries = random_tokens(hd, 3, 6);
    std::vector<float> out(3 * sz(hd));
    for (const KernelTable* kt : available_tables()) {
        for (Encoding encoding : kEncodings) {
            for (const HeadOptions& options : {HeadOptions{}, HeadOptions{2, 16, 4}}) {
                SCOPED_TRACE(testing::Message() << kt->name << " " << encoding_name(encoding) << " recent "
                                                << options.recent);
                HeadCache head;
                head_cache_init(head, hd, 3, capacity, 1, 0.95f, encoding, options);
                append_range(*kt, head, tok, 0, 200);
                head_attend(*kt, head, queries.key(0), out.data());
                head_attend_batch(*kt, head, queries.keys.data(), 3, out.data());
                allocations = 0;
                for (size_t t = 200; t < 400; ++t) {
                    head_append(*kt, head, tok.key(t), tok.val(t), int32_t(t));
                    head_attend(*kt, head, queries.key(0), out.data());
                    head_attend_batch(*kt, head, queries.keys.data(), 3, out.data());
                }
                EXPECT_EQ(allocations, 0);
            }
        }
    }
}

}  // namespace
}  // namespace kelvor::test
