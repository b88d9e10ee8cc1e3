#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "backend/layer_ops.h"
#include "backend/mha_backend.h"
#include "backend/worker_pool.h"
#include "core/workspace.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

class WorkerPoolThreads : public testing::TestWithParam<int32_t> {};

TEST_P(WorkerPoolThreads, RunsEveryTaskOnceOnAtMostThatManyThreads) {
    const int32_t threads = GetParam();
    WorkerPool pool(threads);
    for (int32_t count : {0, 1}) {
        std::vector<int> runs(sz(count), 0);
        pool.run(count, [&](int32_t i) { ++runs[sz(i)]; });
        EXPECT_EQ(runs, std::vector<int>(sz(count), 1));
    }
    EXPECT_EQ(pool.started(), 0);  // nothing needed a worker yet
    for (int32_t count : {2, 7, 64, 64}) {
        std::vector<std::atomic<int>> runs(sz(count));
        std::mutex m;
        std::set<std::thread::id> ids;
        pool.run(count, [&](int32_t i) {
            runs[sz(i)].fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            std::lock_guard<std::mutex> lock(m);
            ids.insert(std::this_thread::get_id());
        });
        for (int32_t i = 0; i < count; ++i) EXPECT_EQ(runs[sz(i)].load(), 1) << "task " << i;
        EXPECT_LE(ids.size(), sz(threads));
        EXPECT_EQ(pool.started(), threads - 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, WorkerPoolThreads, testing::Values(1, 2, 3, 5));

TEST(WorkerPool, RethrowsTheFirstFailureAndStaysUsable) {
    WorkerPool pool(3);
    std::atomic<int> ran{0};
    EXPECT_THROW(pool.run(50,
                          [&](int32_t i) {
                              ++ran;
                              if (i == 4) throw std::runtime_error("task 4");
                              // Slow enough that the failure is seen long before the last task.
                              std::this_thread::sleep_for(std::chrono::milliseconds(1));
                          }),
                 std::runtime_error);
    EXPECT_LT(ran.load(), 50);  // tasks after the failure were skipped
    std::atomic<int> again{0};
    pool.run(50, [&](int32_t) { ++again; });
    EXPECT_EQ(again.load(), 50);
}

TEST(WorkerPool, RefusesFewerThanOneThread) {
    for (int32_t t : {0, -1}) {
        try {
            WorkerPool pool(t);
            ADD_FAILURE() << t << " accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_EQ(std::string(e.what()), "threads must be at least 1, got " + std::to_string(t));
        }
    }
}

// Three heads of 12: head 0 exact, head 1 wrapped, head 2 empty.
KelvorMHABackend filled_backend(int32_t threads) {
    KelvorMHABackend b(3, 12, 3, 8, 4, 0.95f, 512);
    b.set_threads(threads);
    const auto data = random_vector(sz(2 * 11 * 12), 80);
    for (int32_t h = 0; h < 2; ++h) {
        for (int32_t t = 0; t < 5 + 6 * h; ++t) b.append(h, data.data() + t * 24, data.data() + t * 24 + 12, t);
    }
    return b;
}

TEST(LayerOps, GroupedRowsOnWorkersMatchThePerHeadCompute) {
    KelvorMHABackend b = filled_backend(3);
    const int32_t group = 2, rows = 3, hd = 12;
    const auto q = random_vector(sz(3 * group * rows * hd), 81);
    std::vector<float> out(q.size() + 4, kGuard);
    ASSERT_EQ(b.compute_heads(q.data(), 3 * group, rows, out.data()), 0);
    EXPECT_TRUE(guards_from(out, q.size()));
    for (int32_t r = 0; r < 3 * group * rows; ++r) {
        std::vector<float> want(sz(hd));
        b.compute(r / (group * rows), q.data() + r * hd, want.data());
        EXPECT_EQ(bit_patterns(want), bit_patterns(std::vector<float>(out.begin() + r * hd,
                                                                      out.begin() + (r + 1) * hd)))
            << "row " << r;
    }
}

TEST(LayerOps, BadCountsAndNonFiniteRowsChangeNothing) {
    KelvorMHABackend b = filled_backend(2);
    const auto q = random_vector(sz(6 * 12), 82);
    std::vector<float> out(q.size(), kGuard);
    for (auto [heads, rows] : {std::pair<int32_t, int64_t>{0, 1}, {-3, 1}, {4, 1}, {3, -1}}) {
        EXPECT_EQ(b.compute_heads(q.data(), heads, rows, out.data()), -1) << heads << " " << rows;
        EXPECT_STREQ(last_error(), "kelvor_mha_compute_heads: n_query_heads must be a positive multiple of "
                                   "n_heads and rows must not be negative");
        EXPECT_TRUE(guards_from(out));
    }
    EXPECT_EQ(kelvor_mha_compute_heads(nullptr, q.data(), 3, 1, out.data()), -1);
    EXPECT_EQ(kelvor_mha_append_heads(nullptr, q.data(), q.data(), 0), -1);
    EXPECT_STREQ(last_error(), "kelvor_mha_append_heads: no context");

    std::vector<float> before(sz(3 * 12));
    ASSERT_EQ(b.compute_heads(q.data(), 3, 1, before.data()), 0);
    auto keys = random_vector(sz(3 * 12), 83);
    auto vals = keys;
    vals[2 * 12 + 11] = std::nanf("");  // only the last row is bad
    EXPECT_EQ(b.append_heads(keys.data(), vals.data(), 9), -1);
    EXPECT_STREQ(last_error(), "keys and vals must be finite; row 2 is not");
    EXPECT_EQ(b.kv_bytes(), (5u + 8u) * 6u * 2u);
    std::vector<float> after(before.size());
    ASSERT_EQ(b.compute_heads(q.data(), 3, 1, after.data()), 0);
    EXPECT_EQ(bit_patterns(before), bit_patterns(after));
}

}  // namespace
}  // namespace kelvor::test
