#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <functional>
#include <tuple>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "backend/context_state.h"
#include "backend/layer_ops.h"
#include "backend/mha_backend.h"
#include "backend/worker_pool.h"
#include "core/attention/attention.h"
#include "core/support/workspace.h"
#include "test_support.h"

namespace kelvor::test {
namespace {

class WorkerPoolThreads : public testing::TestWithParam<int32_t> {};

TEST_P(WorkerPoolThreads, RunsEveryTaskOnceStartingWorkersOnFirstNeed) {
    const int32_t threads = GetParam();
    WorkerPool pool(threads);
    for (int32_t count : {0, 1, 2, 7, 64}) {
        std::vector<std::atomic<int>> runs(sz(count));
        std::mutex m;
        std::set<std::thread::id> ids;
        pool.run(count, [&](int32_t i) {
            runs[sz(i)].fetch_add(1);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
            std::lock_guard<std::mutex> lock(m);
            ids.insert(std::this_thread::get_id());
        });
        for (int32_t i = 0; i < count; ++i) EXPECT_EQ(runs[sz(i)].load(), 1) << count << " tasks, task " << i;
        EXPECT_LE(ids.size(), sz(threads));
        EXPECT_EQ(pool.started(), std::min(threads - 1, std::max(count - 1, 0))) << count;  // never more than tasks - 1
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
    EXPECT_LT(ran.load(), 50);
    std::atomic<int> again{0};
    pool.run(50, [&](int32_t) { ++again; });
    EXPECT_EQ(again.load(), 50);
}

class SharedPoolThreads : public testing::TestWithParam<int32_t> {};

// Two callers on the one pool at once: each job's tasks wait for a task of the
// other job to have begun, which only happens if neither caller waits for the
// other's job. A stop skips what is left of a job and leaves the pool usable.
TEST_P(SharedPoolThreads, CallersRunAtOnceAndStopBetweenTasks) {
    const int32_t threads = GetParam();
    const std::shared_ptr<WorkerPool> pool = WorkerPool::shared();
    EXPECT_EQ(pool, WorkerPool::shared());
    std::atomic<bool> began[2] = {false, false};
    std::atomic<int> met{0};
    const auto job = [&](int which) {
        pool->run(threads, 4, [&](int32_t) {
            began[which] = true;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!began[1 - which] && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            if (began[1 - which]) ++met;
        }, nullptr);
    };
    std::thread other(job, 1);
    job(0);
    other.join();
    EXPECT_EQ(met.load(), 8);

    // A worker joins in: the two tasks of one call run at the same time.
    if (threads > 1) {
        std::atomic<int> running{0};
        std::atomic<int> together{0};
        pool->run(threads, 2, [&](int32_t) {
            ++running;
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (running.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
            if (running.load() == 2) ++together;
        }, nullptr);
        EXPECT_EQ(together.load(), 2);
    }

    for (int32_t stop_after : {0, 3}) {
        std::atomic<int> ran{0};
        int asked = 0;
        const StopPoll stop = [&] { return asked++ == stop_after; };
        EXPECT_FALSE(pool->run(threads, 1000, [&](int32_t) {
            ++ran;
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }, &stop));
        EXPECT_LT(ran.load(), 1000);
        EXPECT_GE(ran.load(), stop_after);
    }
    std::atomic<int> again{0};
    EXPECT_TRUE(pool->run(threads, 50, [&](int32_t) { ++again; }, nullptr));
    EXPECT_EQ(again.load(), 50);
}

INSTANTIATE_TEST_SUITE_P(Counts, SharedPoolThreads, testing::Values(1, 2, 3));

class SplitAttend : public testing::TestWithParam<std::tuple<const KernelTable*, Encoding>> {};

// A head of two and a bit blocks (its ring wrapped) answers the same bits with
// its tokens shared out, whatever order and threads the tasks run in.
TEST_P(SplitAttend, SharedTokensGiveTheSameBits) {
    const auto [kt, encoding] = GetParam();
    const int32_t hd = 40;
    HeadCache head = make_head(hd, 3, 9000, 11, encoding);
    const Tokens tok = random_tokens(hd, 9500, 12, 0.3f);
    append_range(*kt, head, tok, 0, 9500);
    ASSERT_TRUE(splits_tokens(head));
    const auto q = random_vector(sz(11 * hd), 13);
    std::vector<float> want(q.size()), got(q.size(), kGuard);
    head_attend_batch(*kt, head, q.data(), 11, want.data());

    WorkerPool pool(3);
    const ParallelFor backwards = [](int32_t n, const std::function<void(int32_t)>& task) {
        for (int32_t i = n - 1; i >= 0; --i) task(i);
        return true;
    };
    const ParallelFor on_threads = [&](int32_t n, const std::function<void(int32_t)>& task) {
        pool.run(n, task);
        return true;
    };
    for (const ParallelFor* parallel : {&backwards, &on_threads}) {
        std::fill(got.begin(), got.end(), kGuard);
        ASSERT_TRUE(head_attend_batch_split(*kt, head, q.data(), 11, got.data(), *parallel));
        EXPECT_EQ(std::memcmp(got.data(), want.data(), got.size() * sizeof(float)), 0);
    }
    const ParallelFor stopped = [](int32_t, const std::function<void(int32_t)>&) { return false; };
    EXPECT_FALSE(head_attend_batch_split(*kt, head, q.data(), 11, got.data(), stopped));
}

INSTANTIATE_TEST_SUITE_P(LevelsAndEncodings, SplitAttend,
                         testing::Combine(testing::ValuesIn(available_tables()),
                                          testing::Values(Encoding::clip3, Encoding::fitted)));

std::vector<uint8_t> state_of(const KelvorMHABackend& b) {
    std::vector<uint8_t> bytes(state_bytes(b));
    save_state(b, bytes.data(), bytes.size());
    return bytes;
}

// A prompt of several chunks, whose rows another thread writes to whenever a
// chunk is stored: a finite change is stored as copied; a NaN is refused
// before its chunk, naming it, with the chunks before it stored.
TEST(LayerOps, PromptRowsWrittenDuringTheCallAreStoredAsCheckedOrRefused) {
    const int32_t H = 32, hd = 64, T = 300;  // chunks of 128 tokens
    const auto keys = random_vector(sz(T * H * hd), 91);
    for (const bool to_nan : {false, true}) {
        std::vector<float> vals = random_vector(sz(T * H * hd), 92);
        KelvorMHABackend b(H, hd, 3, 512, 5, 0.95f, 512);
        KelvorMHABackend twin(H, hd, 3, 512, 5, 0.95f, 512);
        const size_t row = sz((200 * H + 3) * hd + 5);  // token 200, row 3: in the second chunk
        int32_t stores = 0;
        const StoreOutside writer = [&](const std::function<void()>& store) {
            store();
            if (stores++ == 0) vals[row] = to_nan ? std::nanf("") : 0.5f;
        };
        const auto append = [&] {
            return b.append_tokens_copied(keys.data(), vals.data(), token_positions(7, T), nullptr, true, writer);
        };
        if (to_nan) {
            try {
                append();
                FAIL() << "stored";
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "keys or vals changed while being appended (tokens before 128 went in): "
                                       "keys and vals must be finite; token 200, row 3 is not");
            }
            ASSERT_TRUE(twin.append_tokens(keys.data(), vals.data(), token_positions(7, 128), nullptr));
        } else {
            ASSERT_TRUE(append());
            ASSERT_TRUE(twin.append_tokens(keys.data(), vals.data(), token_positions(7, T), nullptr));
        }
        EXPECT_EQ(stores, to_nan ? 1 : 3);
        EXPECT_EQ(state_of(b), state_of(twin)) << (to_nan ? "refused" : "stored");
    }
}

// The module checks shapes before calling, so only C++ callers reach these.
TEST(LayerOps, BadCountsFailWithoutWriting) {
    KelvorMHABackend b(3, 12, 3, 8, 4, 0.95f, 512);
    b.set_threads(2);
    const auto q = random_vector(sz(6 * 12), 82);
    std::vector<float> out(q.size(), kGuard);
    for (auto [heads, rows] : {std::pair<int32_t, int64_t>{0, 1}, {-3, 1}, {4, 1}, {3, -1}}) {
        EXPECT_EQ(refusal([&] { b.compute_layer(q.data(), heads, rows, out.data(), nullptr); }),
                  "compute_heads: n_query_heads must be a positive multiple of n_heads and rows must not be negative")
            << heads << " " << rows;
        EXPECT_TRUE(guards_from(out));
    }
    EXPECT_EQ(refusal([&] {
                  b.append_compute_layer(q.data(), q.data(), token_positions(0, 1), q.data(), 2, out.data(), nullptr);
              }),
              "append_compute_heads: n_query_heads must be a positive multiple of n_heads");
    EXPECT_EQ(refusal([&] { b.compute_rows(b.check_head(0), q.data(), -1, out.data(), nullptr); }),
              "compute_rows: n must not be negative");
    EXPECT_TRUE(guards_from(out));
    EXPECT_EQ(b.tokens(b.check_head(0)), 0);
}

}  // namespace
}  // namespace kelvor::test
